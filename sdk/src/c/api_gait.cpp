// C export: whole-recording gait analysis over the caller's arrays.
#include <cmath>
#include <new>
#include <vector>

#include "gait/recording.h"
#include "trova_insole_gait.h"

static_assert(TVIS_STRIDE_FIRST_OF_BOUT == tvis::gait::kFirstOfBout && TVIS_STRIDE_LAST_OF_BOUT == tvis::gait::kLastOfBout &&
                  TVIS_STRIDE_ACROSS_GAP == tvis::gait::kAcrossGap && TVIS_STRIDE_OUTLIER == tvis::gait::kOutlier,
              "the header's stride flags are the core's");

namespace {

int32_t status_of(tvis::gait::GaitStatus status) {
  switch (status) {
    case tvis::gait::GaitStatus::kOk: return TVIS_OK;
    case tvis::gait::GaitStatus::kEmpty: return TVIS_GAIT_ERR_EMPTY;
    case tvis::gait::GaitStatus::kNotFinite: return TVIS_GAIT_ERR_NOT_FINITE;
    case tvis::gait::GaitStatus::kTimeNotIncreasing: return TVIS_GAIT_ERR_TIME;
    case tvis::gait::GaitStatus::kBadRate: return TVIS_GAIT_ERR_RATE;
    case tvis::gait::GaitStatus::kBadShape: break;
  }
  return TVIS_ERR_INVALID;
}

TvisAnalyzedStride record_of(const tvis::gait::Stride& s) {
  TvisAnalyzedStride r{};
  r.foot = static_cast<int32_t>(s.foot);
  r.bout = s.bout;
  r.flags = s.times.flags;
  r.contact_s = s.times.contact_s;
  r.foot_off_s = s.times.foot_off_s;
  r.next_contact_s = s.times.next_contact_s;
  r.stride_s = s.times.stride_s;
  r.stance_s = s.times.stance_s;
  r.swing_s = s.times.swing_s;
  r.stance_pct = s.stance_pct;
  r.swing_pct = s.swing_pct;
  r.step_s = s.step_s;
  r.double_support_pct = s.double_support_pct;
  r.peak_load = s.peak_load;
  r.load_integral = s.load_integral;
  return r;
}

}  // namespace

extern "C" TVIS_API int32_t tvis_gait_analyze(const double* time_s, double rate_hz, size_t samples,
                                              const double* left_load, const double* right_load,
                                              TvisAnalyzedStride* strides, size_t capacity, size_t* stride_count) {
  if (stride_count == nullptr) return TVIS_ERR_NULL;
  *stride_count = 0;
  if (left_load == nullptr || right_load == nullptr || (strides == nullptr && capacity != 0)) return TVIS_ERR_NULL;
  if (samples == 0) return TVIS_GAIT_ERR_EMPTY;
  try {
    std::vector<double> times;
    if (time_s == nullptr) {
      if (!(std::isfinite(rate_hz) && rate_hz > 0)) return TVIS_GAIT_ERR_RATE;
      times.resize(samples);
      for (size_t i = 0; i < samples; ++i) times[i] = static_cast<double>(i) / rate_hz;
      time_s = times.data();
    }
    tvis::gait::FootInput feet[2];
    const double* loads[2] = {left_load, right_load};
    for (int f = 0; f < 2; ++f) {
      feet[f].time_s = {time_s, samples};
      feet[f].load = {loads[f], samples};
    }
    auto analysis = tvis::gait::analyze_recording(feet[0], feet[1]);
    if (!analysis) return status_of(analysis.error().status);
    const size_t count = analysis->strides[0].size() + analysis->strides[1].size();
    *stride_count = count;
    if (count > capacity) return TVIS_ERR_SHORT;
    size_t n = 0;
    for (const auto& foot : analysis->strides)
      for (const auto& s : foot) strides[n++] = record_of(s);
    return TVIS_OK;
  } catch (const std::bad_alloc&) {
    return TVIS_ERR_INVALID;  // out of memory for a recording this long: nothing written
  } catch (...) {
    return TVIS_ERR_INVALID;
  }
}
