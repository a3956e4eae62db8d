// tvis_gait_analyze through the C face: strides of walking with the room
// asked for first, and a status code (never a crash, nothing written) for
// every input it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "trova_insole_gait.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double load_at(double t) {
  const double phase = std::fmod(t, 1.0);
  return phase < 0.6 ? 30 + 500 * std::sin(kPi * phase / 0.6) : 30;
}

struct Loads {
  std::vector<double> left, right;
};

Loads walking(size_t samples, double rate) {
  Loads l;
  for (size_t i = 0; i < samples; ++i) {
    l.left.push_back(load_at(i / rate));
    l.right.push_back(load_at(i / rate + 0.5));
  }
  return l;
}

TEST(GaitAnalyzeC, StridesOfWalkingAfterAskingForTheRoom) {
  const Loads l = walking(3000, 100);  // 30 s at 100 Hz, times from the rate
  size_t count = 99;
  ASSERT_EQ(tvis_gait_analyze(nullptr, 100, 3000, l.left.data(), l.right.data(), nullptr, 0, &count), TVIS_ERR_SHORT);
  ASSERT_GE(count, 50u);
  std::vector<TvisAnalyzedStride> strides(count);
  size_t written = 0;
  ASSERT_EQ(tvis_gait_analyze(nullptr, 100, 3000, l.left.data(), l.right.data(), strides.data(), strides.size(),
                              &written), TVIS_OK);
  ASSERT_EQ(written, count);
  int feet[2] = {0, 0};
  for (const TvisAnalyzedStride& s : strides) {
    ++feet[s.foot];
    EXPECT_NEAR(s.stride_s, 1.0, 0.03);
    EXPECT_NEAR(s.stance_pct + s.swing_pct, 100, 1e-9);
    if (!s.flags) {
      EXPECT_NEAR(s.step_s, 0.5, 0.02);
    }
  }
  EXPECT_GE(feet[0], 25);
  EXPECT_GE(feet[1], 25);
  EXPECT_EQ(strides.front().flags & TVIS_STRIDE_FIRST_OF_BOUT, TVIS_STRIDE_FIRST_OF_BOUT);
}

TEST(GaitAnalyzeC, RefusedInputGivesAStatusAndWritesNothing) {
  Loads l = walking(500, 50);
  std::vector<double> times(500);
  for (size_t i = 0; i < times.size(); ++i) times[i] = 10 + i * 0.02;
  TvisAnalyzedStride out[4] = {};
  size_t count = 7;
  const double* L = l.left.data();
  const double* R = l.right.data();
  EXPECT_EQ(tvis_gait_analyze(nullptr, 0, 500, L, R, out, 4, &count), TVIS_GAIT_ERR_RATE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(tvis_gait_analyze(nullptr, -5, 500, L, R, out, 4, &count), TVIS_GAIT_ERR_RATE);
  EXPECT_EQ(tvis_gait_analyze(nullptr, std::numeric_limits<double>::quiet_NaN(), 500, L, R, out, 4, &count),
            TVIS_GAIT_ERR_RATE);
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 0, L, R, out, 4, &count), TVIS_GAIT_ERR_EMPTY);
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 500, nullptr, R, out, 4, &count), TVIS_ERR_NULL);
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 500, L, R, nullptr, 4, &count), TVIS_ERR_NULL);
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 500, L, R, out, 4, nullptr), TVIS_ERR_NULL);
  std::vector<double> back = times;
  back[200] = back[100];
  EXPECT_EQ(tvis_gait_analyze(back.data(), 0, 500, L, R, out, 4, &count), TVIS_GAIT_ERR_TIME);
  std::vector<double> repeat = times;
  repeat[200] = repeat[199];
  EXPECT_EQ(tvis_gait_analyze(repeat.data(), 0, 500, L, R, out, 4, &count), TVIS_GAIT_ERR_TIME);
  l.right[300] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 500, L, l.right.data(), out, 4, &count), TVIS_GAIT_ERR_NOT_FINITE);
  l.right[300] = std::nan("");
  EXPECT_EQ(tvis_gait_analyze(times.data(), 0, 500, L, l.right.data(), out, 4, &count), TVIS_GAIT_ERR_NOT_FINITE);
  for (const TvisAnalyzedStride& s : out) EXPECT_EQ(s.stride_s, 0);  // nothing written on refusal
}

}  // namespace
