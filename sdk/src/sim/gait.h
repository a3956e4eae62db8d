// How one foot of a simulated walker moves and loads its insole over time.
// The walker's stride timeline is shared by both feet (the right foot runs
// half a stride behind the left), so two insoles built from one seed and
// started together form a believable pair.
#pragma once

#include <cstdint>

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

class GaitModel {
 public:
  // cadence_spm 0 takes the activity's usual cadence.
  GaitModel(uint64_t seed, bool right_foot, double body_mass_kg, double cadence_spm, Activity activity);

  // Both take the walker's time in seconds, never going backwards.
  void set_activity(Activity activity, double t);
  FootState at(double t);

  Activity activity() const { return activity_; }

 private:
  double stride_seconds(uint64_t index) const;
  void advance_strides(double t);

  uint64_t seed_;
  bool right_;
  double body_weight_n_;
  double cadence_spm_;
  Activity activity_;
  double stride_start_ = 0.0;
  double stride_len_ = 1.0;
  uint64_t stride_index_ = 0;
};

}  // namespace tvis::sim
