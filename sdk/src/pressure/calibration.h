// Conversion of cell resistances (ohms) into loads (newtons), per foot, and
// derivation of the three shear forces from the twelve shear cells.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tvis::pressure {

inline constexpr size_t PRESSURE_CHANNELS = 48;
inline constexpr size_t SHEAR_CHANNELS = 3;

struct ShearTriple {
  double force_x = 0.0;
  double force_y = 0.0;
  double normal_force = 0.0;
};

inline bool is_valid_foot(uint8_t foot) { return foot == 2 || foot == 3; }

// One channel: 0.0 outside 1..999,999 ohms, never negative, rounded to 0.001 N.
double calibrate_channel(uint32_t resistance, size_t channel, uint8_t foot);

// A whole sample: the wire's int32 resistances read as the unsigned ohms they
// carry (a negative one is beyond the calibrated range, 0 N). Returns the sum
// of the cells' loads to 0.001 N, and when loads_n is not null writes each
// cell's load there, as calibrate_channel gives it. The sum is the sum of the
// whole millinewtons, without the doubles' error in adding them.
double calibrate_cells(std::span<const int32_t> resistances, uint8_t foot, double* loads_n);

// One value per input, input order; the position is the channel index.
std::vector<double> calibrate_all(std::span<const uint32_t> resistances, uint8_t foot);

// Absent with fewer than 48 values or a foot other than 2 or 3.
std::optional<std::array<ShearTriple, SHEAR_CHANNELS>> derive_shear_forces(std::span<const uint32_t> resistances,
                                                                           uint8_t foot);

}  // namespace tvis::pressure
