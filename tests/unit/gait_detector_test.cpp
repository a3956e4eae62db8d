// The load event detector on synthetic loads: walking on an offset that never
// reaches zero, with drift and saturation, gives one contact and one foot off
// per stride close to the true times and within the stated latency; standing
// and idle give none.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "gait/load_event_detector.h"

namespace {

using tvis::gait::EventType;
using tvis::gait::GaitEvent;
using tvis::gait::LoadEventDetector;

constexpr double kPi = 3.14159265358979323846;

// Stride 1.1 s, stance 62 %: a half-sine of load in stance, offset in swing.
double walking_load(double t, double offset, double peak) {
  const double phase = std::fmod(t, 1.1) / 1.1;
  if (phase >= 0.62) return offset;
  return offset + peak * std::sin(kPi * phase / 0.62);
}

std::vector<GaitEvent> run(double rate_hz, double seconds, double (*load)(double)) {
  LoadEventDetector detector;
  std::vector<GaitEvent> events;
  for (int i = 0; i < static_cast<int>(seconds * rate_hz); ++i) {
    const double t = 0.013 + i / rate_hz;
    if (auto event = detector.push(t, load(t))) events.push_back(*event);
  }
  return events;
}

TEST(GaitDetector, WalkingOnOffsetDriftAndSaturationAtBothRates) {
  auto load = +[](double t) {
    return std::fmin(700.0, walking_load(t, 90 + 2 * t, 800));  // drifting offset, clipped peak
  };
  for (double rate : {50.0, 100.0}) {
    const auto events = run(rate, 30, load);
    ASSERT_GE(events.size(), 48u) << rate;
    for (size_t i = 1; i < events.size(); ++i) {
      EXPECT_NE(events[i].type, events[i - 1].type) << "events alternate";
      // Decided within two samples of the crossing.
      EXPECT_LE(events[i].decided_index - events[i].sample_index, 2u);
    }
    for (size_t i = 2; i + 2 < events.size(); ++i) {
      if (events[i].type == EventType::kContact && events[i + 2].type == EventType::kContact) {
        EXPECT_NEAR(events[i + 2].time_s - events[i].time_s, 1.1, 1.0 / rate);
      }
    }
  }
}

TEST(GaitDetector, StandingIdleAndShufflingGiveNoEvents) {
  EXPECT_TRUE(run(100, 20, +[](double) { return 0.0; }).empty());
  EXPECT_TRUE(run(100, 20, +[](double t) { return 650 + 3 * std::sin(37 * t) + 2 * std::sin(91 * t); }).empty());
  // Shuffling: the load sways by 15 % of body weight (range 30 % of its high).
  EXPECT_TRUE(run(100, 20, +[](double t) { return 600 + 90 * std::sin(2 * kPi * t); }).empty());
}

TEST(GaitDetector, RefusesNonFiniteAndRepeatedTimes) {
  LoadEventDetector detector;
  EXPECT_FALSE(detector.push(NAN, 1));
  EXPECT_FALSE(detector.push(1, INFINITY));
  EXPECT_FALSE(detector.push(1, 1));
  EXPECT_FALSE(detector.push(1, 500));  // same time: ignored
}

}  // namespace
