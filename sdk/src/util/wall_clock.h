// The host's wall clock, the one receive times and capture stamps count in.
#pragma once

#include <chrono>
#include <cstdint>

namespace tvis {

// Now on the system clock, ns since the Unix epoch.
inline int64_t wall_clock_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tvis
