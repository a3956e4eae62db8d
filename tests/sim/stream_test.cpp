// The sample stream of a virtual insole, measured over simulated time: rate,
// modes and enabled sensors as configured, the insole's own clock, and
// signals that behave like a foot (weight, gravity, a stride shared by a
// pair), the same for the same seed however the insole is driven.
#include <cmath>
#include <numeric>

#include "pressure/calibration.h"
#include "sim/sensors.h"
#include "sim_support.h"

namespace {

using namespace sim_test;

struct Case {
  proto::StreamConfig config;
  bool pressure, raw_pressure, shear, raw_shear, acc, raw_acc, gyro, raw_gyro;
};

// Every configuration shows in the frames: one frame per period and nothing
// between, seq_num continuous, timestamps a period apart, and exactly the
// arrays its modes and switches ask for, in full.
TEST(SimStream, RateModesAndSensorsAsConfigured) {
  const Case cases[] = {
      {{50, 1, 0, 0, true, false, true, true}, false, true, false, false, true, false, true, false},
      {{100, 0, 2, 1, true, true, true, false}, true, false, true, true, false, true, false, false},
      {{200, 2, 1, 2, false, true, false, true}, false, false, false, true, false, false, true, true},
      {{25, 2, 0, 0, true, false, false, false}, true, true, false, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    const uint32_t rate = c.config.sample_rate_hz;
    SCOPED_TRACE(rate);
    Host h;
    h.start_stream(c.config);
    h.run_for(10 * kSecond, 7 * kMs);
    const auto s = h.samples();
    ASSERT_EQ(s.size(), rate * 10);
    for (size_t i = 0; i < s.size(); ++i) {
      EXPECT_EQ(s[i].seq_num(), i + 1);
      EXPECT_EQ(s[i].timestamp_ms(), (i + 1) * 1000 / rate);
      const auto& p = s[i].pressure_data();
      EXPECT_EQ(p.pressure_size(), c.pressure ? 48 : 0);
      EXPECT_EQ(p.raw_pressure_size(), c.raw_pressure ? 48 : 0);
      const auto& sh = s[i].shear_data();
      EXPECT_EQ(sh.shear_force_x_size() + sh.shear_force_y_size(), c.shear ? 6 : 0);
      EXPECT_EQ(sh.raw_shear_x_size() + sh.raw_shear_y_size(), c.raw_shear ? 6 : 0);
      EXPECT_EQ(s[i].has_imu_data(), c.acc || c.raw_acc || c.gyro || c.raw_gyro);
      const auto& imu = s[i].imu_data();
      EXPECT_EQ(imu.acc_z() != 0, c.acc);
      EXPECT_EQ(imu.raw_acc_z() != 0, c.raw_acc);
      EXPECT_TRUE(c.gyro || (imu.gyro_x() | imu.gyro_y() | imu.gyro_z()) == 0);
      EXPECT_TRUE(c.raw_gyro || (imu.raw_gyro_x() | imu.raw_gyro_y() | imu.raw_gyro_z()) == 0);
      // Battery once a second of the insole's clock.
      EXPECT_EQ(s[i].has_battery_data(), i == 0 || s[i].timestamp_ms() / 1000 != s[i - 1].timestamp_ms() / 1000);
    }
  }
}

// Parts sampled slower than the frame rate come in every n-th frame.
TEST(SimStream, SlowerPartsSkipFrames) {
  Host h;
  auto req = proto::sensor_stream_config_request(1, {100, 0, 0, 0, true, true, true, true});
  req->set_sensor_config->pressure_config->sample_rate_hz = 25;
  req->set_sensor_config->shear_config->sample_rate_hz = 50;
  h.ask(*req);
  h.run_for(kSecond);
  int pressure = 0, shear = 0, imu = 0;
  for (const auto& s : h.samples()) pressure += s.has_pressure_data(), shear += s.has_shear_data(), imu += s.has_imu_data();
  EXPECT_EQ(std::vector<int>({pressure, shear, imu}), std::vector<int>({25, 50, 100}));
}

// timestamp_ms starts from the configured offset and runs at the insole's
// pace: 250 ppm fast gains 25 ms in 100 s, and takes 25 ms worth of samples more.
TEST(SimStream, ClockOffsetAndDrift) {
  sim::Config c;
  c.clock_offset_ms = 4'294'960'000u;  // wraps after 7.3 s
  c.drift_ppm = 250;
  Host h(c);
  h.start_stream({});
  h.run_for(100 * kSecond, 50 * kMs);
  const auto s = h.samples();
  ASSERT_EQ(s.size(), 5001u);
  EXPECT_EQ(s[0].timestamp_ms(), 4'294'960'020u);
  EXPECT_EQ(static_cast<uint32_t>(s.back().timestamp_ms() - s[0].timestamp_ms()), 100'000u);
  EXPECT_EQ(h.insole.clock_ms() - 4'294'960'000u, 100'025u);
}

// Calibrated pressure is the SDK's calibration of the raw resistance of the
// same cell, so a host may use either; standing, the cells carry half the
// body weight and the accelerometer reads 1 g up.
TEST(SimStream, CalibratedIsTheSdkCalibrationOfRaw) {
  sim::Config c;
  c.identity.foot = 3;
  c.body_mass_kg = 80;
  Host h(c);
  h.start_stream({50, 2, 2, 2, true, true, true, true});
  h.run_for(5 * kSecond);
  for (const auto& s : h.samples()) {
    for (int i = 0; i < 48; ++i) {
      const uint32_t r = static_cast<uint32_t>(s.pressure_data().raw_pressure(i));
      EXPECT_EQ(s.pressure_data().pressure(i), std::lround(tvis::pressure::calibrate_channel(r, i, 3) * 1000)) << i;
    }
    EXPECT_NEAR(total_load_n(s), 80 * 9.80665 / 2, 40);
    const auto& imu = s.imu_data();
    EXPECT_NEAR(std::hypot(imu.acc_x(), imu.acc_y(), imu.acc_z()), 2048, 20);
    EXPECT_LT(std::abs(imu.gyro_x()) * 0.06103515625, 3.0);
    EXPECT_NEAR(imu.raw_acc_z() - imu.acc_z(), 0, 40);  // the factory offset
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(s.shear_data().raw_shear_y(k), s.shear_data().shear_force_y(k) / 10, 50);
  }
}

// Heel strikes: the instants the foot's total load rises past a threshold.
std::vector<double> strikes(const std::vector<insole_ref::SensorData>& s) {
  std::vector<double> out;
  for (size_t i = 1; i < s.size(); ++i)
    if (total_load_n(s[i - 1]) < 50 && total_load_n(s[i]) >= 50) out.push_back(s[i].timestamp_ms() / 1000.0);
  return out;
}

// A pair from one seed walks: each foot strikes once a stride at the
// walking cadence, the right foot half a stride after the left; in stance
// the load rolls from heel to toe and peaks above body weight, the foot
// swings with the gyroscope turning fast, and shear comes with load only.
// Running loads far harder.
TEST(SimGait, PairWalksAndRuns) {
  sim::Config left;
  left.activity = sim::Activity::Walking;
  left.seed = 99;
  sim::Config right = left;
  right.identity.foot = 3;
  Host l(left), r(right);
  for (Host* h : {&l, &r}) {
    h->start_stream({100, 0, 0, 0, true, true, true, true});
    h->run_for(20 * kSecond);
  }
  const auto ls = strikes(l.samples()), rs = strikes(r.samples());
  ASSERT_GE(ls.size(), 15u);
  const double stride = (ls.back() - ls.front()) / static_cast<double>(ls.size() - 1);
  EXPECT_NEAR(120 / stride, 108, 4);
  for (double t : ls) {
    const auto next = std::upper_bound(rs.begin(), rs.end(), t);
    if (next != rs.end() && t + stride < ls.back()) {
      EXPECT_NEAR(*next - t, stride / 2, 0.05 * stride);
    }
  }

  double peak = 0, max_gyro = 0;
  int heel_first = 0, toe_last = 0, steps = 0;
  const auto s = l.samples();
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    const double load = total_load_n(s[i]);
    peak = std::max(peak, load);
    max_gyro = std::max(max_gyro, std::abs(s[i].imu_data().gyro_x() * 0.06103515625));
    double shear = 0;
    for (int k = 0; k < 3; ++k) shear += std::abs(s[i].shear_data().shear_force_y(k));
    EXPECT_TRUE(load > 0 || shear == 0);
    // Just after a strike the heel carries most; just before lift-off the toes do.
    auto heel_share = [](const insole_ref::SensorData& d) {
      double heel = 0, all = 0;
      for (int c = 0; c < 48; ++c) {
        all += d.pressure_data().pressure(c);
        if (sim::cell_position(c, 2).y < 0.3) heel += d.pressure_data().pressure(c);
      }
      return all > 0 ? heel / all : 0;
    };
    if (total_load_n(s[i - 1]) < 50 && load >= 50) ++steps, heel_first += heel_share(s[i + 1]) > 0.5;
    if (load >= 50 && total_load_n(s[i + 1]) < 50) toe_last += heel_share(s[i]) < 0.1;
  }
  EXPECT_EQ(heel_first, steps);
  EXPECT_GE(toe_last, steps - 1);
  EXPECT_NEAR(peak / (70 * 9.80665), 1.2, 0.15);
  EXPECT_GT(max_gyro, 150);

  l.insole.set_activity(sim::Activity::Running);
  l.got.clear();
  l.run_for(5 * kSecond);
  double run_peak = 0;
  for (const auto& d : l.samples()) run_peak = std::max(run_peak, total_load_n(d));
  EXPECT_GT(run_peak / (70 * 9.80665), 2.2);
}

// The seed alone decides the signals: the same insole driven in 1 ms steps
// or in one jump sends the same bytes, another seed does not.
TEST(SimGait, SameSeedSameBytesHoweverDriven) {
  auto run = [](uint64_t seed, uint64_t step) {
    sim::Config c;
    c.seed = seed;
    c.activity = sim::Activity::Running;
    c.mtu_payload = 20;
    Host h(c);
    h.start_stream({50, 2, 2, 2, true, true, true, true});
    h.run_for(3 * kSecond, step);
    std::string all;
    for (const Resp& r : h.got) all += r.SerializeAsString();
    EXPECT_TRUE(std::all_of(h.pieces.begin(), h.pieces.end(), [](size_t n) { return n <= 20; }));
    return all;
  };
  const std::string a = run(5, kMs);
  EXPECT_EQ(a, run(5, 3 * kSecond));
  EXPECT_NE(a, run(6, kMs));
}

// Device events from the model: taking the insoles off and on, a charger
// (battery rising, status charging), and a battery that runs flat powers the
// insole off until a charger wakes it.
TEST(SimEvents, WearChargingAndPowerOff) {
  sim::Config c;
  c.schedule = {{sim::Activity::Walking, 2}, {sim::Activity::Idle, 3}};
  c.battery_pct = 1.0;
  c.drain_pct_per_hour = 360;  // 0.1 % a second: flat after about 12 s
  Host h(c);
  h.run_for(2500 * kMs);
  h.insole.set_charging(true);
  h.run_for(2 * kSecond);
  insole_ref::InsoleReq battery;
  battery.set_get_battery(true);
  EXPECT_EQ(h.ask(battery).battery_data().status(), insole_ref::BATTERY_STATUS_CHARGING);
  h.insole.set_charging(false);
  h.run_for(9500 * kMs);
  std::vector<int> events;
  for (const Resp& r : h.got)
    if (r.has_device_event()) events.push_back(r.device_event().type());
  EXPECT_EQ(events, (std::vector<int>{insole_ref::EVENT_WEAR_OFF, insole_ref::EVENT_CHARGING_CONNECTED,
                                      insole_ref::EVENT_CHARGING_DISCONNECTED, insole_ref::EVENT_WEAR_ON,
                                      insole_ref::EVENT_WEAR_OFF, insole_ref::EVENT_WEAR_ON, insole_ref::EVENT_WEAR_OFF,
                                      insole_ref::EVENT_LOW_BATTERY_POWER_OFF}));
  EXPECT_FALSE(h.insole.powered());
  EXPECT_EQ(h.drops, 1);
  h.insole.set_charging(true);
  h.run_for(2 * kSecond);
  EXPECT_TRUE(h.insole.connected());
  EXPECT_EQ(h.restores, 1);
}

}  // namespace
