// Which of a capture's samples are a foot's gait samples, and their index
// among them: a left or right insole's sample with pressure data, whose time
// (the device clock aligned onto the host clock; a raw capture's device clock)
// comes after that foot's last one. `insole gait` analyses exactly these, and
// an event names its sample by this index, so the export's gait columns find
// an event's row by counting through this same rule.
#pragma once

#include <cstdint>

#include "insole/export/export_rows.h"

namespace insole {

struct FootSample {
  enum class Kind : uint8_t {
    kNone,      // no foot's sample: another insole, or no pressure data
    kRepeated,  // a time that did not advance (a duplicated or reordered frame): left out
    kTaken,
  };
  Kind kind = Kind::kNone;
  int foot = -1;       // 0 left, 1 right
  uint64_t index = 0;  // kTaken: among the foot's taken samples, from 0
  double time_s = 0;   // the sample's time, s
};

class FootSampleCounter {
 public:
  // device_clock: each insole's own clock instead (insole gait --clock device).
  explicit FootSampleCounter(bool device_clock = false) : device_clock_(device_clock) {}

  // Call once per row, in capture order.
  FootSample take(const Sample& s);

 private:
  bool device_clock_;
  uint64_t taken_[2] = {};
  double last_s_[2] = {};
};

}  // namespace insole
