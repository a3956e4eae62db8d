// Whole-recording gait analysis on synthetic walking of two feet: the pair
// metrics land where the gait puts them, pauses split bouts, lost frames and
// odd strides are flagged and left out of the summary only, and the analysis
// gives exactly the events of a tracker fed sample by sample.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "gait/recording.h"

namespace {

using namespace tvis::gait;

constexpr double kPi = 3.14159265358979323846;
constexpr double kStride = 1.1, kStance = 0.62;

// A half-sine of load in stance on an offset that never reaches zero; the
// right foot half a stride later. `pause` seconds without walking (standing
// on both feet) from pause_at.
double load_at(double t, double shift, double pause_at = 1e9, double pause = 0) {
  if (t >= pause_at && t < pause_at + pause) return 400;
  if (t >= pause_at + pause) t -= pause;
  const double phase = std::fmod(t + shift, kStride) / kStride;
  return phase < kStance ? 60 + 700 * std::sin(kPi * phase / kStance) : 60;
}

struct Walk {
  std::vector<double> time, left, right;
  FootInput foot(const std::vector<double>& load) const {
    FootInput in;
    in.time_s = time;
    in.load = load;
    return in;
  }
};

Walk walk(double seconds, double rate, double pause_at = 1e9, double pause = 0) {
  Walk w;
  for (int i = 0; i < static_cast<int>(seconds * rate); ++i) {
    const double t = 0.005 + i / rate;
    w.time.push_back(t);
    w.left.push_back(load_at(t, 0, pause_at, pause));
    w.right.push_back(load_at(t, kStride / 2, pause_at, pause));
  }
  return w;
}

TEST(GaitRecording, PairMetricsAndSummaryOfSteadyWalking) {
  const Walk w = walk(40, 100);
  auto a = analyze_recording(w.foot(w.left), w.foot(w.right));
  ASSERT_TRUE(a.ok()) << a.error().message;
  for (int f = 0; f < 2; ++f) {
    ASSERT_GE(a->strides[f].size(), 33u);
    for (const Stride& s : a->strides[f]) {
      // The first stride's levels still settle while the range builds up.
      EXPECT_NEAR(s.times.stride_s, kStride, 0.03);
      if (excluded(s)) continue;
      EXPECT_NEAR(s.times.stride_s, kStride, 0.011);
      EXPECT_NEAR(s.stance_pct + s.swing_pct, 100, 1e-9);
      if (s.step_s >= 0) {
        EXPECT_NEAR(s.step_s, kStride / 2, 0.011);
      }
      // Two double supports of (0.62 - 0.5) of the stride each: the events
      // sit at the load's onset and release, not at the detector's levels.
      const double expected = 100 * 2 * (kStance - 0.5);
      if (s.double_support_pct >= 0) {
        EXPECT_NEAR(s.double_support_pct, expected, 1.0);
      }
      EXPECT_NEAR(s.peak_load, 760, 1);
    }
    const FootSummary& sum = f == 0 ? a->summary.left : a->summary.right;
    // Only the bout's first and last stride are left out of steady walking.
    EXPECT_EQ(sum.excluded, 2u);
    EXPECT_NEAR(sum.included.stride_s.mean, kStride, 0.002);
    EXPECT_LT(sum.included.stride_s.cv_pct, 1.0);
  }
  EXPECT_NEAR(a->summary.cadence_steps_per_min, 120 / kStride, 0.3);
  EXPECT_NEAR(a->summary.sample_rate_hz, 100, 1e-6);
  EXPECT_LT(a->summary.stride_time_si_pct, 0.5);
}

TEST(GaitRecording, APauseEndsABoutAndLostFramesMarkTheirStride) {
  Walk w = walk(50, 100, 20, 8);  // 8 s of standing in the middle
  FootInput left = w.foot(w.left), right = w.foot(w.right);
  const std::vector<uint64_t> gap = {1000};  // frames lost before t = 10 s
  left.gap_before = gap;
  auto a = analyze_recording(left, right);
  ASSERT_TRUE(a.ok());
  const auto& strides = a->strides[0];
  ASSERT_EQ(a->summary.bouts[0].size(), 2u);
  int across = 0, firsts = 0, lasts = 0;
  for (const Stride& s : strides) {
    EXPECT_FALSE(s.times.contact_s > 20.5 && s.times.contact_s < 28) << "a stride in the pause";
    if (s.times.flags & kAcrossGap) {
      ++across;
      EXPECT_LE(s.times.contact_s, 10.005);
      EXPECT_GE(s.times.next_contact_s, 10.005);
    }
    firsts += (s.times.flags & kFirstOfBout) != 0;
    lasts += (s.times.flags & kLastOfBout) != 0;
  }
  EXPECT_EQ(across, 1);
  EXPECT_EQ(firsts, 2);
  EXPECT_EQ(lasts, 2);
  EXPECT_EQ(a->summary.left.excluded, 5u);
  EXPECT_EQ(a->summary.left.strides, strides.size());  // flagged strides are kept
}

TEST(GaitRecording, AStumbleIsAnOutlierOfItsBout) {
  Walk w = walk(40, 100);
  // One left contact comes 0.35 s late (a hesitation): the stride before it
  // is long and the one after it short.
  for (size_t i = 0; i < w.time.size(); ++i)
    if (w.time[i] > 15.39 && w.time[i] < 15.75) w.left[i] = 60;
  auto a = analyze_recording(w.foot(w.left), w.foot(w.right));
  ASSERT_TRUE(a.ok());
  int outliers = 0;
  for (const Stride& s : a->strides[0])
    if (s.times.flags & kOutlier) {
      ++outliers;
      EXPECT_LT(s.times.contact_s, 15.8);
      EXPECT_GT(s.times.next_contact_s, 15.7);
    }
  EXPECT_EQ(outliers, 2);
  EXPECT_NEAR(a->summary.left.included.stride_s.mean, kStride, 0.01);
}

TEST(GaitRecording, EventsAreThoseOfATrackerFedSampleBySample) {
  const Walk w = walk(30, 50, 12, 5);
  auto a = analyze_recording(w.foot(w.left), w.foot(w.right));
  ASSERT_TRUE(a.ok());
  FootTracker tracker;
  std::vector<GaitEvent> streamed;
  for (size_t i = 0; i < w.time.size(); ++i)
    if (auto step = tracker.push(w.time[i], w.left[i]); step.event) streamed.push_back(*step.event);
  ASSERT_EQ(streamed.size(), a->events[0].events.size());
  for (size_t i = 0; i < streamed.size(); ++i) {
    EXPECT_EQ(streamed[i].time_s, a->events[0].events[i].time_s);
    EXPECT_EQ(streamed[i].decided_index, a->events[0].events[i].decided_index);
  }
}

TEST(GaitRecording, StandingAndIdleGiveNoStrides) {
  Walk w = walk(20, 100);
  for (size_t i = 0; i < w.time.size(); ++i) {
    w.left[i] = 350 + 3 * std::sin(w.time[i]);  // standing, slight sway
    w.right[i] = 0;                             // lifted or idle
  }
  auto a = analyze_recording(w.foot(w.left), w.foot(w.right));
  ASSERT_TRUE(a.ok());
  EXPECT_TRUE(a->strides[0].empty());
  EXPECT_TRUE(a->strides[1].empty());
  EXPECT_EQ(a->summary.cadence_steps_per_min, 0);
}

TEST(GaitRecording, RefusesInputItCannotAnalyse) {
  Walk w = walk(5, 100);
  auto status_of = [&](const Walk& v) {
    auto a = analyze_recording(v.foot(v.left), v.foot(v.right));
    return a.ok() ? GaitStatus::kOk : a.error().status;
  };
  Walk nan = w, inf = w, back = w, repeat = w, empty, shape = w;
  nan.right[100] = std::numeric_limits<double>::quiet_NaN();
  inf.left[7] = std::numeric_limits<double>::infinity();
  back.time[50] = back.time[48];
  repeat.time[50] = repeat.time[49];
  shape.left.pop_back();
  EXPECT_EQ(status_of(nan), GaitStatus::kNotFinite);
  EXPECT_EQ(status_of(inf), GaitStatus::kNotFinite);
  EXPECT_EQ(status_of(back), GaitStatus::kTimeNotIncreasing);
  EXPECT_EQ(status_of(repeat), GaitStatus::kTimeNotIncreasing);
  EXPECT_EQ(status_of(empty), GaitStatus::kEmpty);
  EXPECT_EQ(status_of(shape), GaitStatus::kBadShape);
  auto named = analyze_recording(back.foot(back.left), back.foot(back.right));
  EXPECT_EQ(named.error().message, "left foot: time goes backwards at sample 50");
}

TEST(GaitRecording, RegionsAndCentreOfPressureFromSensors) {
  // Two sensors, heel then toe: the load rolls from one to the other in stance.
  Walk w = walk(20, 100);
  std::vector<double> sensors[2];
  for (int f = 0; f < 2; ++f)
    for (size_t i = 0; i < w.time.size(); ++i) {
      const double phase = std::fmod(w.time[i] + (f ? kStride / 2 : 0), kStride) / kStride;
      const double load = (f ? w.right : w.left)[i];
      const double toe = phase < kStance ? phase / kStance : 0.5;
      sensors[f].push_back(load * (1 - toe));
      sensors[f].push_back(load * toe);
    }
  FootInput in[2];
  for (int f = 0; f < 2; ++f) {
    in[f].time_s = w.time;
    in[f].sensors = sensors[f];
    in[f].sensor_count = 2;
    in[f].places = {{0, 0, true, 0}, {0, 200, true, 1}};
    in[f].regions = {"heel", "toe"};
  }
  auto a = analyze_recording(in[0], in[1]);
  ASSERT_TRUE(a.ok());
  ASSERT_FALSE(a->strides[0].empty());
  for (const Stride& s : a->strides[0]) {
    ASSERT_TRUE(s.has_cop);
    EXPECT_GT(s.cop_ap, 150);  // heel to toe over most of the 200
    EXPECT_NEAR(s.cop_length, s.cop_ap, 1e-6);
    EXPECT_EQ(s.cop_ml_range, 0);
    ASSERT_EQ(s.regions.size(), 2u);
    EXPECT_NEAR(s.regions[0].integral + s.regions[1].integral, s.load_integral, 1e-6 * s.load_integral);
    EXPECT_GT(s.regions[0].peak, 0.5 * s.peak_load);
  }
}

}  // namespace
