// The walker's own contact and foot-off times against what the SDK's gait
// detector finds in the virtual insole's stream, decoded by the C face as a
// host would see it: pressure frames through tvis_did_receive_data to the
// pressure callback, the load their sum in newtons. Link faults change what
// the host sees, never the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "gait/foot_tracker.h"
#include "sim/virtual_insole.h"
#include "trova_insole_sdk.h"

namespace {

namespace sim = tvis::sim;
using tvis::gait::EventType;
using tvis::gait::GaitEvent;
using tvis::gait::FootTracker;
using tvis::gait::StrideTimes;

constexpr uint64_t kMs = 1000, kSecond = 1000 * kMs;
// The detector's envelope needs a few strides before it trusts the range.
constexpr double kWarmUpS = 5.0;

struct HostSample {
  uint32_t seq = 0;
  double time_s = 0;  // device time
  double load_n = 0;
};

// What the pressure callback delivered, per device id.
std::map<std::string, std::vector<HostSample>>& g_samples = *new std::map<std::string, std::vector<HostSample>>;

void on_pressure(const char* id, const TvisPressureSample* p) {
  double load_mn = 0;
  for (int i = 0; i < p->pressure_count; ++i) load_mn += p->pressure[i];
  g_samples[id].push_back({p->seq_num, p->timestamp_ms / 1000.0, load_mn / 1000.0});
}

struct Recording {
  std::vector<sim::GaitTruth> truth;
  std::vector<HostSample> samples;
  std::vector<GaitEvent> events;
  std::vector<StrideTimes> strides;
  std::vector<double> lost_s;  // device times of the samples the host never got
  sim::Stats stats;
};

// One insole streaming calibrated pressure at rate_hz for `seconds` of its
// walker's activity, its notifications handed to the C face as they leave.
Recording run_insole(const std::string& id, int32_t foot, sim::Activity activity, uint32_t rate_hz, double seconds,
               uint64_t seed, const sim::Faults& faults = {}) {
  sim::Config cfg;
  cfg.identity.foot = foot;
  cfg.seed = seed;
  cfg.activity = activity;
  cfg.gait_truth = true;
  cfg.clock_offset_ms = 12345;  // the device clock is not the driver's
  cfg.drift_ppm = 40;
  cfg.faults = faults;
  sim::VirtualInsole insole(cfg);

  tvis_set_pressure_callback(on_pressure);
  const ByteBuffer start = tvis_build_sensor_stream_config_request(1, static_cast<uint8_t>(foot), rate_hz, 0, 0, 0,
                                                                   true, false, false, false, true);
  EXPECT_GT(start.len, 0u);
  insole.write({start.data, start.len});
  tvis_free_bytes(start.data, start.len);

  const uint64_t end = static_cast<uint64_t>(seconds * kSecond);
  for (uint64_t now = 0; now <= end; now += 5 * kMs) {
    insole.advance_to(now);
    insole.drain([&](const sim::Output& o) {
      if (o.kind == sim::Output::Kind::Notification) tvis_did_receive_data(id.c_str(), o.bytes.data(), o.bytes.size());
    });
  }
  tvis_set_pressure_callback(nullptr);

  Recording run;
  run.truth = insole.take_truth();
  run.samples = std::move(g_samples[id]);
  g_samples.erase(id);
  run.stats = insole.stats();
  // As a host does: a repeated sequence number is a duplicate, a jump is a
  // gap the tracker is told of before the next sample.
  FootTracker tracker;
  const HostSample* last = nullptr;
  for (const HostSample& s : run.samples) {
    if (last && s.seq <= last->seq) continue;
    if (last && s.seq > last->seq + 1) {
      tracker.mark_gap();
      for (uint32_t k = 1; k < s.seq - last->seq; ++k) run.lost_s.push_back(last->time_s + k / double(rate_hz));
    }
    last = &s;
    const FootTracker::Step step = tracker.push(s.time_s, s.load_n);
    if (step.event) run.events.push_back(*step.event);
    if (step.stride) run.strides.push_back(*step.stride);
  }
  return run;
}

EventType type_of(sim::FootEvent e) {
  return e == sim::FootEvent::InitialContact ? EventType::kContact : EventType::kFootOff;
}

struct Errors {
  std::vector<double> abs_ms;  // per matched truth event
  int missed = 0;              // truth events with no detection near them
  int spurious = 0;            // detections with no truth event near them
  double median_ms() const { return quantile(0.5); }
  double p95_ms() const { return quantile(0.95); }
  double quantile(double q) const {
    if (abs_ms.empty()) return NAN;
    std::vector<double> v = abs_ms;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())) - 1))];
  }
};

// Pairs each truth event after the warm-up with the nearest detected event of
// its type within a quarter of a typical stance; others are missed or spurious.
void score(const Recording& run, Errors& errors) {
  constexpr double kNearS = 0.12;
  if (run.samples.empty()) return;
  const double from = run.samples.front().time_s + kWarmUpS, to = run.samples.back().time_s - 0.5;
  std::vector<bool> used(run.events.size(), false);
  for (const sim::GaitTruth& t : run.truth) {
    const double at = t.device_ms / 1000.0;
    if (at < from || at > to) continue;
    int best = -1;
    for (size_t i = 0; i < run.events.size(); ++i) {
      const GaitEvent& e = run.events[i];
      if (e.type != type_of(t.event) || used[i] || std::fabs(e.time_s - at) > kNearS) continue;
      if (best < 0 || std::fabs(e.time_s - at) < std::fabs(run.events[best].time_s - at)) best = static_cast<int>(i);
    }
    if (best < 0) {
      ++errors.missed;
      continue;
    }
    used[best] = true;
    errors.abs_ms.push_back(1000.0 * std::fabs(run.events[best].time_s - at));
  }
  for (size_t i = 0; i < run.events.size(); ++i)
    // Away from the ends, where the event's truth may lie outside the span.
    if (!used[i] && run.events[i].time_s >= from + kNearS && run.events[i].time_s <= to - kNearS) ++errors.spurious;
}

struct Case {
  const char* name;
  sim::Activity activity;
  uint32_t rate_hz;
};

const Case kMoving[] = {
    {"walking_50hz", sim::Activity::Walking, 50},
    {"walking_100hz", sim::Activity::Walking, 100},
    {"running_50hz", sim::Activity::Running, 50},
    {"running_100hz", sim::Activity::Running, 100},
};

Errors errors_of(const Case& c, const sim::Faults& faults, const std::string& tag) {
  Errors errors;
  for (uint64_t seed : {1u, 7u, 42u}) {
    for (int32_t foot : {2, 3}) {
      const std::string id = std::string(c.name) + tag + "-" + std::to_string(seed) + "-" + std::to_string(foot);
      const Recording run = run_insole(id, foot, c.activity, c.rate_hz, 40.0, seed, faults);
      EXPECT_GT(run.truth.size(), 40u) << id;
      score(run, errors);
    }
  }
  return errors;
}

void expect_within_bounds(const Case& c, const Errors& e, const char* what) {
  const double period_ms = 1000.0 / c.rate_hz;
  std::printf("%s %s: %zu events, median |error| %.1f ms, p95 %.1f ms (sample period %.0f ms), %d missed, %d spurious\n",
              c.name, what, e.abs_ms.size(), e.median_ms(), e.p95_ms(), period_ms, e.missed, e.spurious);
  EXPECT_LE(e.median_ms(), period_ms) << c.name << " " << what;
  EXPECT_LE(e.p95_ms(), 2 * period_ms) << c.name << " " << what;
}

TEST(SimGaitTruth, TheDetectorFindsTheWalkersEventsWithinASamplePeriod) {
  for (const Case& c : kMoving) {
    const Errors e = errors_of(c, {}, "");
    expect_within_bounds(c, e, "clean link");
    EXPECT_EQ(e.missed, 0) << c.name;
    EXPECT_EQ(e.spurious, 0) << c.name;
  }
}

TEST(SimGaitTruth, LinkFaultsLeaveTheTruthAloneAndTheDetectorWorking) {
  sim::Faults faults;
  faults.loss = 0.03;
  faults.duplication = 0.03;
  faults.delay = 0.01;
  faults.delay_ms = 60;
  for (const Case& c : kMoving) {
    const Recording clean = run_insole(std::string("clean-") + c.name, 2, c.activity, c.rate_hz, 20.0, 5);
    const Recording faulty = run_insole(std::string("faulty-") + c.name, 2, c.activity, c.rate_hz, 20.0, 5, faults);
    EXPECT_GT(faulty.stats.lost, 0u);
    EXPECT_GT(faulty.stats.duplicated, 0u);
    ASSERT_EQ(faulty.truth.size(), clean.truth.size()) << c.name;
    for (size_t i = 0; i < clean.truth.size(); ++i) {
      EXPECT_EQ(faulty.truth[i].event, clean.truth[i].event);
      EXPECT_EQ(faulty.truth[i].device_ms, clean.truth[i].device_ms);
    }
    // A lost frame takes a sample with it; the host sees the gap in seq_num.
    EXPECT_LT(faulty.samples.size(), clean.samples.size() + faulty.stats.duplicated);

    const Errors e = errors_of(c, faults, "-faults");
    expect_within_bounds(c, e, "3 % loss, 3 % duplication, 1 % delay");
    // A lost sample at the crossing can cost the detector one event at most
    // now and then; it must not lose its footing.
    EXPECT_LE(e.missed, static_cast<int>(e.abs_ms.size() / 50)) << c.name;
    EXPECT_LE(e.spurious, static_cast<int>(e.abs_ms.size() / 50)) << c.name;
  }
}

// Strides across lost frames are marked; the others are not, and their times
// agree with the walker's. A low loss rate, so that both kinds are many.
TEST(SimGaitTruth, StridesAcrossLostFramesAreMarked) {
  sim::Faults faults;
  faults.loss = 0.005;
  for (const Case& c : kMoving) {
    int across = 0, clean = 0;
    std::vector<double> stride_error_ms;
    for (uint64_t seed : {2u, 9u}) {
      const Recording run = run_insole(std::string("gaps-") + c.name + std::to_string(seed), 2, c.activity, c.rate_hz,
                                       60.0, seed, faults);
      const double period = 1.0 / c.rate_hz;
      ASSERT_GT(run.strides.size(), 40u) << c.name;
      for (const StrideTimes& st : run.strides) {
        const auto lost_within = [&](double from, double to) {
          return std::any_of(run.lost_s.begin(), run.lost_s.end(), [&](double t) { return t > from && t < to; });
        };
        const bool marked = st.flags & tvis::gait::kAcrossGap;
        // A loss inside the stride marks it (the lost samples' times are
        // known to the millisecond the device clock counts in), also one in
        // the samples its closing contact took to decide. A marked stride
        // had a loss inside it, or within a sample of its ends.
        if (lost_within(st.contact_s + 0.002, st.next_contact_s - 0.002)) {
          EXPECT_TRUE(marked) << c.name << " " << st.contact_s;
        }
        if (marked) {
          EXPECT_TRUE(lost_within(st.contact_s - 2 * period, st.next_contact_s + 2 * period))
              << c.name << " " << st.contact_s;
        }
        (marked ? across : clean)++;
        if (marked || (st.flags & tvis::gait::kFirstOfBout)) continue;
        // The walker's stride: between its two contacts nearest the detected ones.
        double truth_from = NAN, truth_to = NAN;
        for (const sim::GaitTruth& t : run.truth) {
          if (t.event != sim::FootEvent::InitialContact) continue;
          const double at = t.device_ms / 1000.0;
          if (std::fabs(at - st.contact_s) < 0.1) truth_from = at;
          if (std::fabs(at - st.next_contact_s) < 0.1) truth_to = at;
        }
        ASSERT_FALSE(std::isnan(truth_from) || std::isnan(truth_to)) << c.name << " " << st.contact_s;
        stride_error_ms.push_back(1000.0 * std::fabs(st.stride_s - (truth_to - truth_from)));
      }
    }
    std::sort(stride_error_ms.begin(), stride_error_ms.end());
    const double median = stride_error_ms[stride_error_ms.size() / 2];
    std::printf("%s 0.5 %% loss: %d strides across lost frames (marked), %d not; stride time median |error| %.1f ms\n",
                c.name, across, clean, median);
    EXPECT_GT(across, 5) << c.name;
    EXPECT_GT(clean, 5) << c.name;
    EXPECT_LE(median, 1000.0 / c.rate_hz) << c.name;
  }
}

TEST(SimGaitTruth, StandingAndIdleHaveNoTruthAndGiveNoEvents) {
  for (const sim::Activity a : {sim::Activity::Standing, sim::Activity::Idle}) {
    for (uint32_t rate : {50u, 100u}) {
      const std::string id = "still-" + std::to_string(static_cast<int>(a)) + "-" + std::to_string(rate);
      const Recording run = run_insole(id, 2, a, rate, 30.0, 3);
      EXPECT_TRUE(run.truth.empty()) << id;
      EXPECT_GT(run.samples.size(), 30u * rate - rate) << id;
      EXPECT_TRUE(run.events.empty()) << id << ": " << run.events.size() << " events";
      EXPECT_TRUE(run.strides.empty()) << id;
    }
  }
}

TEST(SimGaitTruth, TruthFollowsTheStrideTimelineAndActivityChanges) {
  sim::Config cfg;
  cfg.activity = sim::Activity::Walking;
  cfg.gait_truth = true;
  cfg.schedule = {{sim::Activity::Walking, 10}, {sim::Activity::Standing, 5}, {sim::Activity::Running, 10}};
  sim::VirtualInsole left(cfg);
  cfg.identity.foot = 3;
  sim::VirtualInsole right(cfg);
  std::vector<sim::GaitTruth> l, r;
  for (uint64_t now = 0; now <= 25 * kSecond; now += 333 * kMs) {
    left.advance_to(now);
    right.advance_to(now);
    // Taken in pieces, at times that fall anywhere in a stride.
    for (auto& e : left.take_truth()) l.push_back(e);
    for (auto& e : right.take_truth()) r.push_back(e);
  }
  for (const auto* side : {&l, &r}) {
    ASSERT_GT(side->size(), 40u);
    for (size_t i = 1; i < side->size(); ++i) {
      const auto& a = (*side)[i - 1];
      const auto& b = (*side)[i];
      EXPECT_LT(a.device_ms, b.device_ms);
      // Nothing while standing.
      EXPECT_FALSE(b.device_ms > 10000 && b.device_ms <= 15000) << b.device_ms;
      const auto segment = [](double ms) { return ms <= 10000 ? 0 : ms <= 25000 ? 1 : 2; };
      if (segment(a.device_ms) != segment(b.device_ms)) continue;
      EXPECT_NE(a.event, b.event) << "contacts and foot offs alternate, at " << b.device_ms;
      // Stance and swing of walking (62 % of ~1.11 s) and running (38 % of ~0.73 s).
      const double gap = b.device_ms - a.device_ms;
      EXPECT_GT(gap, 200) << b.device_ms;
      EXPECT_LT(gap, 760) << b.device_ms;
    }
  }
  // The right foot's contact falls half a stride after the left's.
  const auto first_contact_after = [](const std::vector<sim::GaitTruth>& v, double ms) {
    for (const auto& e : v)
      if (e.event == sim::FootEvent::InitialContact && e.device_ms > ms) return e.device_ms;
    return std::nan("");
  };
  const double l1 = first_contact_after(l, 2000), l2 = first_contact_after(l, l1);
  const double r1 = first_contact_after(r, l1);
  EXPECT_NEAR(r1 - l1, (l2 - l1) / 2, 0.002);  // truth is kept to the microsecond
  // Without gait_truth nothing is kept.
  sim::Config plain;
  plain.activity = sim::Activity::Walking;
  sim::VirtualInsole quiet(plain);
  quiet.advance_to(10 * kSecond);
  EXPECT_TRUE(quiet.take_truth().empty());
}

}  // namespace
