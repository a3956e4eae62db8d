// What the C callbacks report about each insole, gathered for a view. The
// callbacks arrive on SDK threads (one per mock stream); the view reads
// copies from its own thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace insole {

struct FootState {
  std::string id;
  uint64_t frames = 0;  // pressure samples received
  uint32_t seq = 0;
  bool seen = false;
  uint64_t lost = 0;  // estimated from sequence gaps of 2 to 1000, as the SDK counts them
  bool has_battery = false;
  uint8_t battery_pct = 0;
  uint16_t voltage_mv = 0;
  std::array<float, 3> acc_mg{};
  std::array<float, 3> gyro_dps{};
  std::array<int32_t, 48> pressure{};
  uint8_t pressure_count = 0;
};

// Registers the pressure, IMU and battery callbacks through the C face and
// forgets earlier state; detach() empties the slots again.
void attach_foot_monitor();
void detach_foot_monitor();

// Copies of the state of the given ids, in that order (empty states for ids
// not heard from yet).
std::vector<FootState> foot_snapshot(const std::vector<std::string>& ids);

}  // namespace insole
