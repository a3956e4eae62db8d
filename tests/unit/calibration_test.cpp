// The whole-sample calibration against the one-cell function it must agree
// with to the last bit: the export's load columns and the live gait loads
// come from the first, every other face from the second.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pressure/calibration.h"

namespace {

using tvis::pressure::calibrate_cells;
using tvis::pressure::calibrate_channel;

// The sum as the cells give it one by one, rounded to whole millinewtons.
double sum_of_channels(const std::vector<int32_t>& r, uint8_t foot) {
  double total = 0;
  for (size_t i = 0; i < r.size(); ++i) total += calibrate_channel(static_cast<uint32_t>(r[i]), i, foot);
  return std::round(total * 1000.0) / 1000.0;
}

TEST(CalibrateCells, EveryResistanceOnEveryKindOfCellMatchesTheOneCellFunction) {
  // Channel 5 is a shear cell on both feet, 0 a pressure cell; every ohm
  // value of the calibrated range and the edges beyond it.
  std::vector<int32_t> r(6);
  double loads[6];
  for (int64_t ohms = -2; ohms <= 1000001; ++ohms) {
    for (int32_t& v : r) v = static_cast<int32_t>(ohms);
    for (uint8_t foot : {uint8_t{2}, uint8_t{3}}) {
      calibrate_cells(r, foot, loads);
      for (size_t i : {size_t{0}, size_t{5}})
        ASSERT_EQ(loads[i], calibrate_channel(static_cast<uint32_t>(ohms), i, foot)) << ohms << " ohms, cell " << i;
    }
  }
}

TEST(CalibrateCells, SumsAreTheRoundedSumOfTheCells) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20000; ++trial) {
    // Loaded insoles (a few hundred ohms up), idle ones (mostly open cells),
    // and short circuits whose loads are beyond any foot.
    const int kind = trial % 3;
    std::uniform_int_distribution<int32_t> ohms(kind == 2 ? 1 : 100, kind == 1 ? 2000000 : 60000);
    std::vector<int32_t> r(trial % 7 == 0 ? 60 : 48);
    for (int32_t& v : r) v = ohms(rng);
    const uint8_t foot = trial % 2 ? 2 : 3;
    std::vector<double> loads(r.size());
    const double total = calibrate_cells(r, foot, loads.data());
    ASSERT_EQ(total, sum_of_channels(r, foot)) << "trial " << trial;
    ASSERT_EQ(total, calibrate_cells(r, foot, nullptr));
  }
}

}  // namespace
