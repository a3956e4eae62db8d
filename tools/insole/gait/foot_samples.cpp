#include "insole/gait/foot_samples.h"

namespace insole {

FootSample FootSampleCounter::take(const Sample& s) {
  FootSample out;
  const int foot = s.foot == "left" ? 0 : s.foot == "right" ? 1 : -1;
  if (foot < 0 || !s.message.sensor_data || !s.message.sensor_data->pressure_data) return out;
  out.foot = foot;
  // Device seconds as the SDK's live path gives them, to the last bit.
  out.time_s = s.aligned_time_ns != nullptr && !device_clock_ ? static_cast<double>(*s.aligned_time_ns) * 1e-9
                                                              : s.message.sensor_data->timestamp_ms / 1000.0;
  if (taken_[foot] > 0 && !(out.time_s > last_s_[foot])) {
    out.kind = FootSample::Kind::kRepeated;
    return out;
  }
  out.kind = FootSample::Kind::kTaken;
  out.index = taken_[foot]++;
  last_s_[foot] = out.time_s;
  return out;
}

}  // namespace insole
