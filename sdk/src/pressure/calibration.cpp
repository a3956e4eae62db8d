#include "pressure/calibration.h"

#include <algorithm>
#include <cmath>

namespace tvis::pressure {

namespace {

struct Cubic {
  double c3, c2, c1, c0;

  // The evaluation order is fixed so results agree to the last bit.
  double operator()(double x) const {
    const double x2 = x * x;
    const double x3 = x * x2;
    double t = (x3 * c3) + (x2 * c2);
    t = (x * c1) + t;
    return t + c0;
  }
};

constexpr Cubic kShearCell{99791.477, -10538.512, 449.733, -4.682};
constexpr Cubic kPressureCell1{2007.326985, -256.285963, 62.813675, -0.135223};
constexpr Cubic kPressureCell2{2368.430831, -349.814487, 68.211981, -0.242637};
constexpr Cubic kPressureCell3{1768.265833, -238.361756, 59.015619, -0.139622};

constexpr double kNewtonsPerKgf = 9.80665;

// Quadrant channels (q0, q1, q2, q3) of shear sensors 0, 1 and 2.
using QuadrantMap = std::array<std::array<uint8_t, 4>, SHEAR_CHANNELS>;
constexpr QuadrantMap kLeftMap{{{12, 37, 36, 5}, {38, 15, 6, 39}, {29, 30, 25, 26}}};
constexpr QuadrantMap kRightMap{{{15, 38, 39, 6}, {37, 12, 5, 36}, {30, 29, 26, 25}}};

const QuadrantMap& quadrant_map(uint8_t foot) { return foot == 3 ? kRightMap : kLeftMap; }

// The shear channels as a bit set: the export calibrates every cell of every
// sample, and one test per cell costs less than a search of the map.
constexpr uint64_t shear_mask(const QuadrantMap& map) {
  uint64_t mask = 0;
  for (const auto& group : map)
    for (uint8_t q : group) mask |= uint64_t{1} << q;
  return mask;
}
constexpr uint64_t kLeftShear = shear_mask(kLeftMap);
constexpr uint64_t kRightShear = shear_mask(kRightMap);

bool is_shear_channel(size_t channel, uint8_t foot) {
  return channel < 64 && ((foot == 3 ? kRightShear : kLeftShear) >> channel & 1) != 0;
}

// One cell's load in millinewtons before rounding: never negative, 0 outside
// 1..999,999 ohms.
double unrounded_millinewtons(uint32_t resistance, size_t channel, uint8_t foot) {
  if (resistance == 0 || resistance >= 1000000) return 0.0;
  const double x = 1000.0 / static_cast<double>(resistance);
  double y = is_shear_channel(channel, foot)
                 ? kShearCell(x)
                 : ((kPressureCell1(x) + kPressureCell2(x)) + kPressureCell3(x)) / 3.0;
  if (y <= 0.0 && x > 0.001) y = (x - 0.001) * 0.5;  // low-end fallback
  if (!(y > 0.0)) y = 0.0;                           // clamps negatives and NaN
  return (y * kNewtonsPerKgf) * 1000.0;
}

// std::round for v >= 0 without the library call, which costs more than the
// cubics themselves when a whole sample is calibrated: adding and taking off
// 2^52 rounds to nearest with ties to even, and a tie that went down goes up.
// Both steps are exact below 2^52; above it every double is whole.
double round_half_up(double v) {
  if (!(v < 0x1p52)) return v;
  const double nearest = (v + 0x1p52) - 0x1p52;
  return nearest - v == -0.5 ? nearest + 1.0 : nearest;
}

}  // namespace

double calibrate_channel(uint32_t resistance, size_t channel, uint8_t foot) {
  return std::round(unrounded_millinewtons(resistance, channel, foot)) / 1000.0;
}

double calibrate_cells(std::span<const int32_t> resistances, uint8_t foot, double* loads_n) {
  // Whole millinewtons add up exactly while their sum stays far below 2^53;
  // summing the newtons and rounding the sum off gives the same total there.
  constexpr double kExactSum = 0x1p42;
  double total_mn = 0;
  for (size_t i = 0; i < resistances.size(); ++i) {
    const double mn = round_half_up(unrounded_millinewtons(static_cast<uint32_t>(resistances[i]), i, foot));
    if (loads_n) loads_n[i] = mn / 1000.0;
    total_mn += mn;
  }
  if (total_mn < kExactSum) return total_mn / 1000.0;
  double total = 0;
  for (size_t i = 0; i < resistances.size(); ++i)
    total += calibrate_channel(static_cast<uint32_t>(resistances[i]), i, foot);
  return std::round(total * 1000.0) / 1000.0;
}

std::vector<double> calibrate_all(std::span<const uint32_t> resistances, uint8_t foot) {
  std::vector<double> out;
  out.reserve(resistances.size());
  for (size_t i = 0; i < resistances.size(); ++i) out.push_back(calibrate_channel(resistances[i], i, foot));
  return out;
}

std::optional<std::array<ShearTriple, SHEAR_CHANNELS>> derive_shear_forces(std::span<const uint32_t> resistances,
                                                                           uint8_t foot) {
  if (resistances.size() < PRESSURE_CHANNELS || !is_valid_foot(foot)) return std::nullopt;
  const std::vector<double> n = calibrate_all(resistances, foot);
  std::array<ShearTriple, SHEAR_CHANNELS> out{};
  const QuadrantMap& map = quadrant_map(foot);
  for (size_t k = 0; k < SHEAR_CHANNELS; ++k) {
    const double a = 5.0 * n[map[k][0]];
    const double b = 5.0 * n[map[k][1]];
    const double c = 5.0 * n[map[k][2]];
    const double d = 5.0 * n[map[k][3]];
    out[k].force_x = ((b + d) - (a + c)) * 1.5;
    out[k].force_y = ((a + b) - (c + d)) * 1.5;
    out[k].normal_force = ((a + b) + c) + d;
  }
  return out;
}

}  // namespace tvis::pressure
