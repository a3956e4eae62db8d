// The gait analysis over any samples: each 6 bytes are a time step and one
// load per foot (with bytes that become NaN, infinity, repeated or backward
// times). A refusal must be one line; an analysis must hold strides whose
// times are ordered and add up, and events equal to a tracker's fed sample by
// sample.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "gait/recording.h"

namespace {

double load_of(int16_t raw) {
  if (raw == INT16_MIN) return std::numeric_limits<double>::quiet_NaN();
  if (raw == INT16_MAX) return std::numeric_limits<double>::infinity();
  return raw * 0.5;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<double> time, loads[2];
  double t = 0;
  for (size_t i = 0; i + 6 <= size && time.size() < 20000; i += 6) {
    int16_t step, left, right;
    std::memcpy(&step, data + i, 2);
    std::memcpy(&left, data + i + 2, 2);
    std::memcpy(&right, data + i + 4, 2);
    t += step == INT16_MIN ? std::numeric_limits<double>::quiet_NaN() : step * 1e-3;  // ms, may go back
    time.push_back(t);
    loads[0].push_back(load_of(left));
    loads[1].push_back(load_of(right));
  }
  tvis::gait::FootInput feet[2];
  for (int f = 0; f < 2; ++f) {
    feet[f].time_s = time;
    feet[f].load = loads[f];
  }
  auto a = tvis::gait::analyze_recording(feet[0], feet[1]);
  if (!a) {
    if (a.error().message.empty() || a.error().message.find('\n') != std::string::npos) __builtin_trap();
    return 0;
  }
  for (int f = 0; f < 2; ++f) {
    for (const auto& s : a->strides[f]) {
      const auto& x = s.times;
      if (!(x.contact_s < x.foot_off_s && x.foot_off_s < x.next_contact_s)) __builtin_trap();
      if (std::fabs(x.stance_s + x.swing_s - x.stride_s) > 1e-9 * std::fmax(1.0, x.stride_s)) __builtin_trap();
      if (!std::isfinite(s.peak_load) || !std::isfinite(s.load_integral)) __builtin_trap();
    }
    tvis::gait::FootTracker tracker;
    size_t n = 0;
    for (size_t i = 0; i < time.size(); ++i)
      if (auto step = tracker.push(time[i], loads[f][i]); step.event) {
        if (n >= a->events[f].events.size() || a->events[f].events[n].time_s != step.event->time_s) __builtin_trap();
        ++n;
      }
    if (n != a->events[f].events.size()) __builtin_trap();
  }
  return 0;
}
