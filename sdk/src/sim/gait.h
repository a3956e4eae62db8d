// How one foot of a simulated walker moves and loads its insole over time.
// The walker's stride timeline is shared by both feet (the right foot runs
// half a stride behind the left), so two insoles built from one seed and
// started together form a believable pair.
#pragma once

#include <cstdint>
#include <vector>

namespace tvis::sim {

enum class Activity : uint8_t { Idle, Standing, Walking, Running };

// Where the load sits under the foot: one or two patches (heel and forefoot
// while standing), in insole coordinates: y from heel (0) to toe (1), x from
// medial (0) to lateral (1).
struct LoadPatch {
  double x = 0.5;
  double y = 0.5;
  double share = 0.0;
};

struct FootState {
  bool worn = false;
  double load_n = 0.0;  // vertical force on the insole
  LoadPatch patches[2];
  // Shear as a fraction of the vertical load: forward (propulsion, +) or
  // backward (braking, -), and towards the lateral side (+).
  double shear_fwd = 0.0;
  double shear_lat = 0.0;
  // Sensor frame: x across the insole, y towards the toe, z up out of the
  // sole. Specific force in g (1 g up when at rest), rotation in deg/s.
  double acc_g[3] = {0.0, 0.0, 1.0};
  double gyro_dps[3] = {0.0, 0.0, 0.0};
};

// The model's own gait events, its truth for anything that detects them:
// the instant the foot's stance begins (initial contact, the load starting to
// rise from nothing) and ends (foot off). Only walking and running have them.
enum class FootEvent : uint8_t { InitialContact, FootOff };

struct TruthEvent {
  FootEvent event = FootEvent::InitialContact;
  double t = 0.0;  // the walker's time in seconds
};

class GaitModel {
 public:
  // cadence_spm 0 takes the activity's usual cadence.
  GaitModel(uint64_t seed, bool right_foot, double body_mass_kg, double cadence_spm, Activity activity);

  // Both take the walker's time in seconds, never going backwards.
  void set_activity(Activity activity, double t);
  FootState at(double t);

  Activity activity() const { return activity_; }

  // Appends, in order of time, the events after the last call and up to t
  // (never earlier than the last call, nor later than the next
  // set_activity). Events come from the stride timeline, not from loads, so
  // they are exact and asking is cheap. An
  // event at the very instant an activity begins is none: the foot is
  // already where the activity puts it. Events of an activity ended by
  // set_activity are kept for the next call only when keep_truth is on, so a
  // model nobody asks holds nothing.
  void truth_until(double t, std::vector<TruthEvent>& out);
  void keep_truth(bool on) { keep_truth_ = on; }

 private:
  double stride_seconds(uint64_t index) const;
  void advance_strides(double t);
  void collect_truth(double t, std::vector<TruthEvent>& out);

  // Where the truth has been told up to, on a stride timeline of its own
  // that repeats the one at() walks.
  struct TruthCursor {
    double segment_start = 0.0;  // the current activity began here
    double stride_start = 0.0;
    double stride_len = 1.0;
    uint64_t stride_index = 0;
    double told_until = 0.0;
  };

  uint64_t seed_;
  bool right_;
  double body_weight_n_;
  double cadence_spm_;
  Activity activity_;
  double stride_start_ = 0.0;
  double stride_len_ = 1.0;
  uint64_t stride_index_ = 0;
  TruthCursor truth_;
  bool keep_truth_ = false;
  std::vector<TruthEvent> ended_truth_;  // events of ended activities, not yet told
};

}  // namespace tvis::sim
