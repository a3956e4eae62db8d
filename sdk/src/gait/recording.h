// Gait of a whole recording, for hosts that hold the samples themselves: both
// feet's loads (and, optionally, per-sensor values with their places) in,
// events, strides with their metrics, and a summary out. Each foot's samples
// go through the same FootTracker, one at a time, as in the live receive path,
// so both give the same events.
//
// Exclusion rule (the summary only; every stride stays in the per-stride
// output with its flags): a stride is left out when it is the first or the
// last of its bout, spans lost frames, or its stride time or stance share
// lies outside its bout's median +- 3 scaled MAD (kOutlier: turns, stumbles,
// missed or split steps). A bout ends where the tracker ends it: the foot
// goes inactive or no contact follows within max_stride_s.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "gait/foot_tracker.h"
#include "gait/stats.h"
#include "util/result.h"

namespace tvis::gait {

enum class Foot : uint8_t { kLeft = 0, kRight = 1 };

// Where one sensor sits (left foot: x toward the big toe, y heel to toe; the
// right foot's places are given as they lie, not mirrored here) and which
// region it counts toward (an index into FootInput::regions).
struct SensorPlace {
  double x = 0, y = 0;
  bool placed = false;  // without a place a sensor takes no part in the centre of pressure
  size_t region = 0;
};

struct FootInput {
  std::span<const double> time_s;      // device time on one base for both feet, seconds
  std::span<const double> load;        // per sample; empty: the sum of the sensors
  std::span<const double> sensors;     // row-major, samples x sensor_count; may be empty
  size_t sensor_count = 0;
  std::vector<SensorPlace> places;     // sensor_count of them, or none
  std::vector<std::string> regions;    // region names; none: no per-region metrics
  std::span<const uint64_t> gap_before;  // sample indices with frames lost just before, ascending
  // Per sample, a centre of pressure the caller has found itself (a capture's,
  // on its cell layout), in the unit of the places; NaN on a sample without
  // one. When given, the stance paths are read from it instead of from the
  // sensors' places. Both empty, or one per sample each.
  std::span<const double> centre_x, centre_y;
};

enum class GaitStatus : int {
  kOk = 0,
  kEmpty = 1,            // no samples
  kNotFinite = 2,        // a time or load is NaN or infinite
  kTimeNotIncreasing = 3,// time repeats or goes backwards
  kBadShape = 4,         // array lengths disagree
  kBadRate = 5,          // a sample rate that is zero, negative or not finite
};

struct GaitError {
  GaitStatus status = GaitStatus::kOk;
  std::string message;  // one line, names the foot and sample
};

struct RegionMetrics {
  double peak = 0, mean = 0, integral = 0;  // input unit; integral in unit x s, over stance
};

struct Stride {
  Foot foot = Foot::kLeft;
  uint32_t bout = 0;
  StrideTimes times;
  double stance_pct = 0, swing_pct = 0;
  double step_s = -1;               // from the other foot's last contact; -1 when there is none
  double double_support_s = -1;     // both feet in stance within the stride; -1 unknown
  double double_support_pct = -1;
  double peak_load = 0, load_integral = 0;  // over stance: input unit, and unit x s
  bool has_cop = false;
  double cop_length = 0, cop_ap = 0, cop_ml_range = 0;  // unit of the places
  std::vector<RegionMetrics> regions;
};

struct FootEvents {
  std::vector<GaitEvent> events;
};

struct MeasureSpreads {
  Spread stride_s, stance_s, swing_s, stance_pct, swing_pct, step_s, double_support_pct, peak_load;
};

struct FootSummary {
  size_t strides = 0, excluded = 0;
  MeasureSpreads included;
};

struct BoutSummary {
  uint32_t bout = 0;
  double start_s = 0, end_s = 0;  // the first contact and the last contact that closes a stride
  FootSummary foot;
};

struct Summary {
  double duration_s = 0, sample_rate_hz = 0;
  FootSummary left, right;
  double cadence_steps_per_min = 0;
  Spread double_support_pct;
  // 100 |L - R| / ((L + R) / 2) of the feet's mean; 0 when a foot has none.
  double stride_time_si_pct = 0, stance_time_si_pct = 0, swing_time_si_pct = 0, step_time_si_pct = 0,
         peak_load_si_pct = 0;
  std::vector<BoutSummary> bouts[2];  // per foot, in its own bout numbering
};

struct Analysis {
  FootEvents events[2];
  std::vector<Stride> strides[2];  // in time order per foot
  Summary summary;
};

bool excluded(const Stride& stride);

Result<Analysis, GaitError> analyze_recording(const FootInput& left, const FootInput& right,
                                              DetectorSettings settings = {});

}  // namespace tvis::gait
