// The waits of the firmware update and its simulated peer. Tests that only
// exercise the protocol logic may shrink every wait by one factor; the SDK
// itself always runs at scale 1.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace tvis::dfu {

inline std::atomic<double>& time_scale() {
  static std::atomic<double> scale{1.0};
  return scale;
}

inline std::chrono::nanoseconds scaled(std::chrono::milliseconds d) {
  return std::chrono::nanoseconds(
      static_cast<int64_t>(std::chrono::duration<double, std::nano>(d).count() * time_scale().load()));
}

inline void sleep_for(std::chrono::milliseconds d) { std::this_thread::sleep_for(scaled(d)); }

}  // namespace tvis::dfu
