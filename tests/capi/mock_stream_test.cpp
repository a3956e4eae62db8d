// The simulated insole stream: the samples it synthesises, and its threads as
// a host sees them through the receive path's callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "capi_support.h"
#include "mock/mock_stream.h"

namespace {

using namespace capi_test;
using namespace std::chrono_literals;
using Ints = std::vector<int32_t>;

// A stream ends at its next 20 ms tick after a stop.
constexpr auto kGrace = 60ms;

struct Foot {
  int32_t device_id;
  Ints pressure_head;  // channels 0 to 5, and 47
  Ints shear_x, shear_y;
  uint32_t battery_pct, voltage_mv;
};

const Foot kLeft{2, {549, 647, 739, 822, 891, 945, 462}, {229, 321, 382}, {397, 359, 281}, 95, 4100};
const Foot kRight{3, {782, 858, 920, 966, 992, 999, 227}, {286, 362, 398}, {380, 316, 224}, 91, 4070};

Ints head_of(const int32_t* pressure) {
  return {pressure[0], pressure[1], pressure[2], pressure[3], pressure[4], pressure[5], pressure[47]};
}

TEST(MockSample, FirstSampleOfEachFoot) {
  for (const auto& [id, foot] : {std::pair{"left", kLeft}, std::pair{"right", kRight}}) {
    SCOPED_TRACE(id);
    const proto::InsoleResp msg = tvis::mock::sample(tvis::mock::profile_for(id), 1);

    proto::InsoleResp only_sensor;
    only_sensor.sensor_data = msg.sensor_data;
    EXPECT_EQ(msg, only_sensor);
    ASSERT_TRUE(msg.sensor_data);
    const proto::SensorData& sd = *msg.sensor_data;
    EXPECT_EQ(sd.device_id, foot.device_id);
    EXPECT_EQ(sd.seq_num, 1u);
    EXPECT_EQ(sd.timestamp_ms, 20u);

    ASSERT_EQ(sd.pressure_data->pressure.size(), 48u);
    EXPECT_EQ(head_of(sd.pressure_data->pressure.data()), foot.pressure_head);
    EXPECT_TRUE(sd.pressure_data->raw_pressure.empty());

    const proto::ShearData& shear = *sd.shear_data;
    EXPECT_EQ(Ints(shear.shear_force_x.begin(), shear.shear_force_x.end()), foot.shear_x);
    EXPECT_EQ(Ints(shear.shear_force_y.begin(), shear.shear_force_y.end()), foot.shear_y);
    EXPECT_TRUE(shear.raw_shear_x.empty() && shear.raw_shear_y.empty());

    proto::ImuData imu;
    imu.acc_x = imu.raw_acc_x = 49;
    imu.acc_y = imu.raw_acc_y = 998;
    imu.acc_z = imu.raw_acc_z = 16384;
    imu.acc_scale = 0.48828125f;
    imu.gyro_scale = 0.06103515625f;
    EXPECT_EQ(sd.imu_data, imu);

    EXPECT_EQ(sd.battery_data, (proto::BatteryData{foot.battery_pct, foot.voltage_mv, 0}));
  }
}

TEST(MockSample, ProfileFollowsTheId) {
  for (const char* id : {"RightFoot", "my-RIGHT-unit", "rIgHt", "1", "3"})
    EXPECT_EQ(tvis::mock::profile_for(id).device_id, 3) << id;
  for (const char* id : {"left", "2", "0", "", "13", "righ", "rig-ht", "RIGH"})
    EXPECT_EQ(tvis::mock::profile_for(id).device_id, 2) << id;
}

class MockStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    take_events();
    install_recorders();
  }
  void TearDown() override {
    tvis_stop_mock_stream();
    std::this_thread::sleep_for(kGrace);
    clear_callbacks();
  }

  // Sequence numbers of the pressure samples of each device, in arrival order.
  static std::map<std::string, std::vector<uint32_t>> seqs(const std::vector<Event>& events) {
    std::map<std::string, std::vector<uint32_t>> out;
    for (const Event& e : events)
      if (e.kind == "pressure") out[e.device].push_back(e.pressure.seq_num);
    return out;
  }

  static std::vector<uint32_t> one_to(size_t n) {
    std::vector<uint32_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint32_t>(i + 1);
    return out;
  }

  // Keeps the events arriving within the period.
  static void collect(std::vector<Event>& into, std::chrono::milliseconds period) {
    std::this_thread::sleep_for(period);
    for (Event& e : take_events()) into.push_back(std::move(e));
  }
};

TEST_F(MockStreams, FirstFramesReachTheCallbacks) {
  tvis_start_mock_stream("StreamLeft");
  tvis_start_mock_stream("StreamRight");
  std::vector<Event> events;
  collect(events, 100ms);
  tvis_stop_mock_stream();

  for (const auto& [id, foot] : {std::pair{"StreamLeft", kLeft}, std::pair{"StreamRight", kRight}}) {
    SCOPED_TRACE(id);
    std::vector<Event> first;
    for (const Event& e : events)
      if (e.device == id && first.size() < 4) first.push_back(e);
    ASSERT_EQ(kinds(first), (std::vector<std::string>{"pressure", "shear", "imu", "battery"}));

    const TvisPressureSample& p = first[0].pressure;
    EXPECT_EQ(p.seq_num, 1u);
    EXPECT_EQ(p.timestamp_ms, 20u);
    EXPECT_EQ(p.pressure_count, 48);
    EXPECT_EQ(p.raw_pressure_count, 0);
    EXPECT_EQ(head_of(p.pressure), foot.pressure_head);

    const TvisShearSample& s = first[1].shear;
    EXPECT_EQ(s.seq_num, 1u);
    EXPECT_EQ(Ints(s.shear_force_x, s.shear_force_x + 3), foot.shear_x);
    EXPECT_EQ(Ints(s.shear_force_y, s.shear_force_y + 3), foot.shear_y);

    const TvisImuSample& imu = first[2].imu;
    EXPECT_EQ(imu.device_id, foot.device_id);
    EXPECT_EQ(imu.timestamp_ms, 20u);
    EXPECT_EQ(imu.acc_x, 49);
    EXPECT_EQ(imu.acc_y, 998);
    EXPECT_EQ(imu.acc_z, 16384);
    EXPECT_EQ(imu.raw_acc_z, 16384);
    EXPECT_EQ(imu.gyro_x, 0);

    const TvisBatteryInfo& b = first[3].battery;
    EXPECT_EQ(b.device_id, foot.device_id);
    EXPECT_EQ(b.battery_pct, foot.battery_pct);
    EXPECT_EQ(b.voltage_mv, foot.voltage_mv);
    EXPECT_EQ(b.status, 0);
  }
}

// One stream per id, whatever the number of starts; ids run side by side;
// a stop ends them all.
TEST_F(MockStreams, OneStreamPerIdUntilStopped) {
  tvis_start_mock_stream("twice");
  tvis_start_mock_stream("twice");
  tvis_start_mock_stream("other");
  std::vector<Event> events;
  collect(events, 400ms);
  tvis_stop_mock_stream();
  collect(events, kGrace);

  const auto by_device = seqs(events);
  ASSERT_EQ(by_device.size(), 2u);
  for (const auto& [id, got] : by_device) {
    SCOPED_TRACE(id);
    EXPECT_EQ(got, one_to(got.size()));
    EXPECT_GE(got.size(), 10u);  // about 50 frames per second
    EXPECT_LE(got.size(), 24u);
  }

  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(take_events().empty());
  tvis_stop_mock_stream();  // nothing running: harmless
}

// A stop followed at once by a start leaves exactly one stream, which starts
// over at 1. The old one may still deliver the frame it was working on.
TEST_F(MockStreams, RestartAfterStopRunsOneFreshStream) {
  std::vector<Event> events;
  tvis_start_mock_stream("again");
  for (auto until = std::chrono::steady_clock::now() + 2s;
       seqs(events)["again"].size() < 5 && std::chrono::steady_clock::now() < until;)
    collect(events, 10ms);
  tvis_stop_mock_stream();
  tvis_start_mock_stream("again");
  collect(events, 300ms);

  std::vector<uint32_t> got = seqs(events)["again"];
  // Drop the old stream's run 1, 2, 3, ... and at most one late frame of it.
  size_t old_run = 1;
  while (old_run < got.size() && got[old_run] == old_run + 1) ++old_run;
  ASSERT_GE(old_run, 5u);
  const uint32_t late = static_cast<uint32_t>(old_run + 1);
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(old_run));
  for (size_t i = 0; i < std::min<size_t>(2, got.size()); ++i)
    if (got[i] == late) {
      got.erase(got.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  EXPECT_GE(got.size(), 8u);
  EXPECT_EQ(got, one_to(got.size()));
}

TEST_F(MockStreams, NullAndInvalidIdsStartNothing) {
  tvis_start_mock_stream(nullptr);
  tvis_start_mock_stream("\xFF\xFE");
  tvis_start_mock_stream("ok\xC0\x80");
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(take_events().empty());
}

}  // namespace
