// One foot's gait, one sample at a time: the load event detector plus the
// closing of strides. A stride runs from one initial contact to the next and
// needs a foot off between them; it is the unit every metric and summary is
// built on. The live receive path and the whole-recording analysis both feed
// samples through this class, so they give the same events and strides.
//
// Bouts: a walking bout ends when the detector goes inactive (standing, idle)
// or when no contact follows within max_stride_s (a pause). The first stride
// after either is flagged kFirstOfBout; a stride during which frames were lost
// (mark_gap) is flagged kAcrossGap. kLastOfBout and kOutlier are only known
// once the bout has ended, so the whole-recording analysis sets them.
#pragma once

#include <cstdint>
#include <optional>

#include "gait/load_event_detector.h"

namespace tvis::gait {

enum StrideFlag : uint32_t {
  kFirstOfBout = 1,
  kLastOfBout = 2,
  kAcrossGap = 4,
  kOutlier = 8,   // stride time or stance share far from its bout's (turns, stumbles)
};

struct StrideTimes {
  double contact_s = 0, foot_off_s = 0, next_contact_s = 0;  // device time, seconds
  double stride_s = 0, stance_s = 0, swing_s = 0;            // seconds
  uint32_t flags = 0;                                        // StrideFlag bits known when it closes
};

struct TrackerSettings {
  double max_stride_s = 3.0;  // a longer interval between contacts is a pause, not a stride
};

class FootTracker {
 public:
  explicit FootTracker(DetectorSettings settings = {}, TrackerSettings tracker = {})
      : detector_(settings), tracker_(tracker) {}

  struct Step {
    // Provided, so that making an empty step sets the two flags and does not
    // zero the whole record first: most samples decide nothing.
    Step() {}
    std::optional<GaitEvent> event;
    std::optional<StrideTimes> stride;
  };

  // One sample: device time in seconds and the load. A contact closes the
  // stride opened by the previous contact of the same bout.
  Step push(double time_s, double load);

  // Frames were lost before the next sample: the stride they fall in is
  // marked. A contact is decided a few samples after its time, so frames lost
  // in between belong to the stride it opens, not to the one it closes.
  void mark_gap() { gap_pending_ = true; }

  // The bout number of the last stride closed (counted from 0), for grouping.
  uint32_t bout() const { return bout_; }

 private:
  void end_bout();

  LoadEventDetector detector_;
  TrackerSettings tracker_;
  std::optional<double> contact_s_;   // the contact that opened the current stride
  std::optional<double> foot_off_s_;  // its foot off, once seen
  bool gap_ = false;                  // frames lost since contact_s_
  bool gap_pending_ = false;          // mark_gap() before the next sample
  double first_gap_from_s_ = 0;       // the sample before the first of those gaps
  double last_gap_to_s_ = 0;          // the sample after the last of them
  double last_time_s_ = 0;            // the sample pushed before
  bool first_ = true;                 // the next stride closed is the first of its bout
  bool was_active_ = false;
  bool in_bout_ = false;
  uint32_t bout_ = 0;
};

}  // namespace tvis::gait
