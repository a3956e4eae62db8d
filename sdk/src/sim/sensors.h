// What the insole's sensors read for one foot state: 48 cell resistances and
// the loads the insole's own calibration makes of them, three shear forces,
// and the IMU in counts.
#pragma once

#include <array>
#include <cstdint>

#include "sim/gait.h"
#include "sim/random.h"

namespace tvis::sim {

inline constexpr int kCells = 48;
inline constexpr int kShearSensors = 3;

// The IMU's fixed ranges: 2048 counts per g, 16.384 counts per deg/s.
inline constexpr float kAccScale = 0.48828125f;       // mg per count
inline constexpr float kGyroScale = 0.06103515625f;   // deg/s per count

struct Readings {
  std::array<int32_t, kCells> resistance{};    // ohms; 0 for a cell without load
  std::array<int32_t, kCells> load_mn{};       // calibrated load, millinewtons
  std::array<int32_t, kShearSensors> shear_lat_mn{};
  std::array<int32_t, kShearSensors> shear_fwd_mn{};
  std::array<int32_t, 3> acc{};   // calibrated counts
  std::array<int32_t, 3> gyro{};  // calibrated counts
};

// foot is 2 (left) or 3 (right); anything else reads as left.
void read_sensors(const FootState& state, int32_t foot, Random& noise, Readings& out);

// The resistance a cell shows under a load (newtons): the inverse of the
// insole's calibration curve for that cell, 0 below a noticeable load.
uint32_t resistance_for(double load_n, bool shear_cell);

bool is_shear_cell(int channel);

// Where a cell sits on the insole: x from the medial (0) to the lateral (1)
// edge, y from the heel (0) to the toe (1).
struct CellPosition {
  double x = 0.0, y = 0.0;
};
CellPosition cell_position(int channel, int32_t foot);

}  // namespace tvis::sim
