// Initial contact and foot off of one foot from its vertical load, one sample
// at a time, so that a live receive path and a whole-recording analysis share
// one rule. The load may be in newtons or in device units: every level is a
// fraction of the load's own recent range (running min and max over the last
// few strides), so offsets that never reach zero, slow drift and saturation
// move the levels with the signal.
//
// Rule: contact when the load has been at or above low + 12 % of the range
// for kConfirmSamples samples in a row, foot off likewise below low + 8 %
// (hysteresis); a phase shorter than the minimum duration is refused. The
// event's time is where the load leaves (or reaches) the low level: the
// crossing, moved along the load's slope there by the distance from the level
// down to low (at most half the minimum stance, and never past the deciding
// sample), since a level above low alone would tell every contact late and
// every foot off early by the time the load takes to climb it. The
// foot is active only while its range is at least 40 % of its high and
// ten times its mean sample-to-sample change: standing, idle and shuffling
// keep it inactive and give no events.
//
// Latency: an event is decided kConfirmSamples - 1 = 2 samples after the
// sample on which its level was crossed (20 ms at 100 Hz, 40 ms at 50 Hz).
#pragma once

#include <cstdint>
#include <optional>

#include "gait/window_extremes.h"

namespace tvis::gait {

enum class EventType : uint8_t { kContact = 1, kFootOff = 2 };

struct GaitEvent {
  EventType type = EventType::kContact;
  double time_s = 0;             // device time of the onset (see the rule above)
  uint64_t sample_index = 0;     // the first sample past the level
  uint64_t decided_index = 0;    // the sample on which the event was decided
  double load = 0;               // the load on the decided sample, in the input's unit
};

inline constexpr int kConfirmSamples = 3;

struct DetectorSettings {
  double window_s = 4.0;         // the envelope covers at least two strides
  double min_stance_s = 0.15;
  double min_swing_s = 0.15;
  double contact_fraction = 0.12;
  double foot_off_fraction = 0.08;
};

class LoadEventDetector {
 public:
  explicit LoadEventDetector(DetectorSettings settings = {})
      : settings_(settings), extremes_(settings.window_s), change_rate_(1.0 / settings.window_s) {}

  // One sample: device time in seconds (strictly increasing, finite) and the
  // load. Returns the event this sample decides, if any. Samples that are not
  // finite or whose time does not advance are ignored (the caller validates).
  std::optional<GaitEvent> push(double time_s, double load);

  bool active() const { return active_; }

 private:
  struct Point { double time_s; double load; };
  // The phase machine on an active sample; true when it decided pending_.
  bool advance(double time_s, double load, double low, double range, uint64_t index);

  DetectorSettings settings_;
  WindowExtremes extremes_;
  double change_rate_;  // 1 / window_s: the mean change forgets over the window
  double mean_change_ = 0;
  bool has_previous_ = false;
  Point previous_{0, 0};
  uint64_t index_ = 0;
  bool active_ = false;
  enum class Phase : uint8_t { kUnknown, kStance, kSwing } phase_ = Phase::kUnknown;
  double phase_start_s_ = 0;
  int run_ = 0;                 // samples in a row past the level of the next phase
  GaitEvent pending_{};
};

}  // namespace tvis::gait
