// The receive path seen from a C host: bytes in through tvis_did_receive_data,
// records out through the registered callbacks, log lines on the console.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "c/ota_waiter.h"
#include "capi_support.h"

namespace {

using namespace capi_test;
using Strings = std::vector<std::string>;

// Each test uses its own device ids, so the per-device tables (parsers, last
// sequence numbers) never carry state from one test into another.
std::string device(const std::string& suffix = "") {
  return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + suffix;
}

class Receive : public ::testing::Test {
 protected:
  void SetUp() override {
    take_events();
    install_recorders();
  }
  void TearDown() override { clear_callbacks(); }
};

TEST_F(Receive, OneMessageDispatchesInFixedOrder) {
  proto::InsoleResp msg;
  msg.battery_data = proto::BatteryData{55, 3700, proto::BATTERY_STATUS_FULL};
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = proto::DEVICE_RIGHT;
  sd.seq_num = 9;
  sd.timestamp_ms = 4242;
  sd.battery_data = proto::BatteryData{80, 4100, proto::BATTERY_STATUS_CHARGING};
  sd.imu_data.emplace().acc_x = 10;
  sd.shear_data.emplace().shear_force_x = {1, 2, 3, 4};
  sd.shear_data->shear_force_y = {-5};
  sd.pressure_data.emplace().pressure = {7, 8};
  msg.device_event = proto::DeviceEvent{77, proto::EVENT_WEAR_ON};
  msg.device_info = proto::DeviceInfo{3, "SN1", 12, "model", "1.2.3", "hw2", "abc", "AA:BB"};

  feed(device(), frame_of(msg));
  const auto events = take_events();
  ASSERT_EQ(kinds(events), (Strings{"info", "event", "pressure", "shear", "imu", "battery", "battery"}));
  for (const Event& e : events) EXPECT_EQ(e.device, device());

  EXPECT_EQ(events[0].info_device_id, 3);
  EXPECT_EQ(events[0].info_product_id, 12u);
  EXPECT_EQ(events[0].info_texts, (Strings{"SN1", "model", "1.2.3", "hw2", "abc", "AA:BB"}));
  EXPECT_EQ(events[1].event.timestamp_ms, 77u);
  EXPECT_EQ(events[1].event.type, proto::EVENT_WEAR_ON);
  EXPECT_EQ(events[2].pressure.seq_num, 9u);
  EXPECT_EQ(events[2].pressure.timestamp_ms, 4242u);
  EXPECT_EQ(events[2].pressure.pressure_count, 2);
  EXPECT_EQ(events[2].pressure.raw_pressure_count, 0);
  const TvisShearSample& shear = events[3].shear;
  EXPECT_EQ((std::vector<int32_t>{shear.shear_force_x, shear.shear_force_x + 3}), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ((std::vector<int32_t>{shear.shear_force_y, shear.shear_force_y + 3}), (std::vector<int32_t>{-5, 0, 0}));
  EXPECT_EQ(events[3].shear.seq_num, 9u);
  EXPECT_EQ(events[4].imu.device_id, 3);
  EXPECT_EQ(events[4].imu.timestamp_ms, 4242u);
  // The report inside a right-foot sensor message names the right foot; a
  // stand-alone report names the left.
  EXPECT_EQ(events[5].battery.device_id, 3);
  EXPECT_EQ(events[5].battery.battery_pct, 80);
  EXPECT_EQ(events[5].battery.status, proto::BATTERY_STATUS_CHARGING);
  EXPECT_EQ(events[6].battery.device_id, 2);
  EXPECT_EQ(events[6].battery.voltage_mv, 3700);
}

// Messages of one call are reported one after the other, and nothing of one
// message leaks into the next.
TEST_F(Receive, FramesOfOneCallDispatchInStreamOrder) {
  proto::InsoleResp busy = pressure_msg(1);
  busy.device_event = proto::DeviceEvent{5, proto::EVENT_WEAR_OFF};
  busy.battery_data = proto::BatteryData{50, 3600, 0};
  busy.sensor_data->imu_data.emplace();
  proto::InsoleResp quiet = pressure_msg(2);
  quiet.sensor_data->pressure_data->raw_pressure = {1};
  const Bytes stream = concat({frame_of(busy), frame_of(quiet), frame_of(pressure_msg(3))});
  feed(device(), stream);
  auto events = take_events();
  ASSERT_EQ(kinds(events), (Strings{"event", "pressure", "imu", "battery", "pressure", "pressure"}));
  EXPECT_EQ(events[1].pressure.seq_num, 1u);
  EXPECT_EQ(events[4].pressure.seq_num, 2u);
  EXPECT_EQ(events[4].pressure.raw_pressure_count, 1);
  EXPECT_EQ(events[4].pressure.raw_pressure[1], 0);
  EXPECT_EQ(events[5].pressure.seq_num, 3u);
  EXPECT_EQ(events[5].pressure.raw_pressure_count, 48);

  // The same holds across calls.
  feed(device("2"), frame_of(busy));
  take_events();
  feed(device("2"), frame_of(quiet));
  EXPECT_EQ(kinds(take_events()), Strings{"pressure"});
}

TEST_F(Receive, SplitFrameDispatchesOnTheCallThatCompletesIt) {
  const Bytes frame = frame_of(pressure_msg(5));
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    const std::string id = device(std::to_string(cut));
    feed(id, Bytes(frame.begin(), frame.begin() + cut));
    EXPECT_TRUE(take_events().empty()) << "cut " << cut;
    feed(id, Bytes(frame.begin() + cut, frame.end()));
    EXPECT_EQ(take_events().size(), 1u) << "cut " << cut;
  }
}

void print_marker(const char*, const TvisPressureSample*) {
  std::printf("callback\n");
  std::fflush(stdout);
}

TEST_F(Receive, BadCrcFrameIsLoggedThenDispatched) {
  tvis_initialize_logging(2);
  tvis_set_pressure_callback(print_marker);
  Bytes frame = frame_of(pressure_msg(1));
  frame.back() ^= 0xFF;
  StdoutCapture out;
  feed(device(), frame);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("[Rust][WARN][protocol::parser] CRC mismatch: expected=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "callback");
}

TEST_F(Receive, PressureArraysAreCappedAndFallBackToRaw) {
  const struct {
    size_t pressure, raw;
    uint8_t count, raw_count;
    bool main_from_raw;
  } cases[] = {
      {0, 50, 48, 48, true}, {3, 5, 3, 5, false}, {60, 0, 48, 0, false}, {0, 0, 0, 0, true}, {0, 7, 7, 7, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "pressure " << c.pressure << " raw " << c.raw);
    proto::InsoleResp msg;
    auto& p = msg.sensor_data.emplace().pressure_data.emplace();
    for (size_t i = 0; i < c.pressure; ++i) p.pressure.push_back(static_cast<int32_t>(1000 + i));
    for (size_t i = 0; i < c.raw; ++i) p.raw_pressure.push_back(-static_cast<int32_t>(i) - 1);
    feed(device(std::to_string(n++)), frame_of(msg));
    const auto events = take_events();
    ASSERT_EQ(events.size(), 1u);
    const TvisPressureSample& s = events[0].pressure;
    EXPECT_EQ(s.pressure_count, c.count);
    EXPECT_EQ(s.raw_pressure_count, c.raw_count);
    for (size_t i = 0; i < 48; ++i) {
      const int32_t main = i >= c.count ? 0 : c.main_from_raw ? -static_cast<int32_t>(i) - 1 : 1000 + int32_t(i);
      const int32_t raw = i >= c.raw_count ? 0 : -static_cast<int32_t>(i) - 1;
      EXPECT_EQ(s.pressure[i], main) << i;
      EXPECT_EQ(s.raw_pressure[i], raw) << i;
    }
  }
}

TEST_F(Receive, ImuReadingsSaturateWhileDerivedValuesDoNot) {
  proto::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = proto::DEVICE_LEFT;
  sd.timestamp_ms = 99;
  proto::ImuData& imu = sd.imu_data.emplace();
  imu = {40000, -40000, 32767, 32768, -32769, -32768, 1, -2, 3, 70000, -5, 6, 0.25f, 0.5f};
  proto::InsoleResp defaults;
  defaults.sensor_data.emplace().imu_data.emplace() = {2048, 0, -1, 16384, 0, 0, 0, 0, 0, 0, 0, 0, 0.0f, 0.0f};

  feed(device(), concat({frame_of(msg), frame_of(defaults)}));
  const auto events = take_events();
  ASSERT_EQ(events.size(), 2u);
  const TvisImuSample& a = events[0].imu;
  EXPECT_EQ(a.device_id, 2);
  EXPECT_EQ(a.timestamp_ms, 99u);
  EXPECT_EQ(a.acc_x, 32767);
  EXPECT_EQ(a.acc_y, -32768);
  EXPECT_EQ(a.acc_z, 32767);
  EXPECT_EQ(a.gyro_x, 32767);
  EXPECT_EQ(a.gyro_y, -32768);
  EXPECT_EQ(a.gyro_z, -32768);
  EXPECT_EQ(a.raw_acc_x, 1);
  EXPECT_EQ(a.raw_acc_y, -2);
  EXPECT_EQ(a.raw_acc_z, 3);
  EXPECT_EQ(a.raw_gyro_x, 70000);
  EXPECT_EQ(a.raw_gyro_y, -5);
  EXPECT_EQ(a.raw_gyro_z, 6);
  EXPECT_EQ(a.acc_scale, 0.25f);
  EXPECT_EQ(a.gyro_scale, 0.5f);
  EXPECT_EQ(a.acc_x_mg, 10000.0f);
  EXPECT_EQ(a.acc_y_mg, -10000.0f);
  EXPECT_EQ(a.gyro_x_dps, 16384.0f);
  EXPECT_EQ(a.gyro_y_dps, -16384.5f);

  const TvisImuSample& b = events[1].imu;
  EXPECT_EQ(b.acc_scale, 0.48828125f);
  EXPECT_EQ(b.gyro_scale, 0.06103515625f);
  EXPECT_EQ(b.acc_x_mg, 1000.0f);
  EXPECT_EQ(b.acc_z_mg, -0.48828125f);
  EXPECT_EQ(b.gyro_x_dps, 1000.0f);
}

TEST_F(Receive, WideFieldsKeepTheirLowBits) {
  proto::InsoleResp msg;
  msg.battery_data = proto::BatteryData{0x1FF, 0x1ABCD, 0x104};
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = 0x103;
  sd.battery_data = proto::BatteryData{0x164, 0xFFFF0001, -1};
  sd.imu_data.emplace();
  msg.device_info.emplace().device_id = 0x1FE;

  feed(device(), frame_of(msg));
  const auto events = take_events();
  ASSERT_EQ(kinds(events), (Strings{"info", "imu", "battery", "battery"}));
  EXPECT_EQ(events[0].info_device_id, 0xFE);
  EXPECT_EQ(events[1].imu.device_id, 3);
  EXPECT_EQ(events[2].battery.device_id, 3);
  EXPECT_EQ(events[2].battery.battery_pct, 0x64);
  EXPECT_EQ(events[2].battery.voltage_mv, 1);
  EXPECT_EQ(events[2].battery.status, 0xFF);
  EXPECT_EQ(events[3].battery.device_id, 2);
  EXPECT_EQ(events[3].battery.battery_pct, 0xFF);
  EXPECT_EQ(events[3].battery.voltage_mv, 0xABCD);
  EXPECT_EQ(events[3].battery.status, 4);
}

// A text with a NUL cannot reach C whole, so the record is withheld; the rest
// of the message still goes out.
TEST_F(Receive, DeviceInfoWithNulInsideATextIsWithheld) {
  std::string proto::DeviceInfo::*texts[] = {&proto::DeviceInfo::serial_number, &proto::DeviceInfo::model_name,
                                             &proto::DeviceInfo::fw_version,    &proto::DeviceInfo::hw_version,
                                             &proto::DeviceInfo::git_commit,    &proto::DeviceInfo::mac};
  for (auto text : texts) {
    proto::InsoleResp msg;
    msg.device_info.emplace().*text = std::string("ab\0cd", 5);
    msg.device_event = proto::DeviceEvent{1, 2};
    feed(device(), frame_of(msg));
    EXPECT_EQ(kinds(take_events()), Strings{"event"});
  }
}

TEST_F(Receive, SequenceGapsAreLoggedAcrossReconnects) {
  tvis_initialize_logging(2);
  tvis_set_pressure_callback(nullptr);
  const std::string id = device();
  StdoutCapture out;
  for (uint32_t seq : {7u, 8u, 12u, 12u, 4294967295u, 0u}) feed(id, frame_of(pressure_msg(seq)));
  tvis_on_device_disconnected(id.c_str());
  feed(id, frame_of(pressure_msg(1)));
  feed(id, frame_of(pressure_msg(9)));
  const std::string prefix = "[Rust][WARN][c] \xE2\x9A\xA0\xEF\xB8\x8F  Insole SeqNum not continuous for " + id + ": ";
  EXPECT_EQ(out.lines(), (Strings{prefix + "8 -> 12 (lost 3)", prefix + "12 -> 12 (lost 4294967295)",
                                  prefix + "12 -> 4294967295 (lost 4294967282)", prefix + "1 -> 9 (lost 7)"}));
}

TEST_F(Receive, OtaAnswerWithoutWaiterIsDroppedSilently) {
  tvis_initialize_logging(5);
  proto::InsoleResp msg;
  msg.ota_resp = proto::OtaResp{proto::DOWNLOADING, 512, 0};
  StdoutCapture out;
  feed(device(), frame_of(msg));
  EXPECT_EQ(out.lines(), Strings{});
  EXPECT_TRUE(take_events().empty());
}

std::shared_ptr<tvis::c::OtaWaiter> g_waiter;
bool g_answer_before_pressure = false;

void check_waiter(const char*, const TvisPressureSample*) {
  auto answer = g_waiter->take(std::chrono::milliseconds(0));
  g_answer_before_pressure = answer && answer->offset == 2048;
}

TEST_F(Receive, OtaAnswerReachesTheWaiterBeforeSensorCallbacks) {
  const std::string id = device();
  g_waiter = std::make_shared<tvis::c::OtaWaiter>();
  {
    auto& registry = tvis::c::ota_waiters();
    std::lock_guard lock(registry.mutex);
    registry.map[id] = g_waiter;
  }
  // Two answers in one call: the later replaces the one not yet taken.
  proto::InsoleResp first, second;
  first.ota_resp = proto::OtaResp{proto::DOWNLOADING, 1024, 0};
  second.ota_resp = proto::OtaResp{proto::DOWNLOAD_FINISHED, 2048, proto::OTA_RESULT_ERR_FLASH};
  second.sensor_data.emplace().pressure_data.emplace();
  tvis_set_pressure_callback(check_waiter);
  feed(id, concat({frame_of(first), frame_of(second)}));
  EXPECT_TRUE(g_answer_before_pressure);

  // Another device's answer does not land in this mailbox.
  tvis_set_pressure_callback(nullptr);
  feed(device("other"), frame_of(first));
  EXPECT_FALSE(g_waiter->take(std::chrono::milliseconds(0)));
  feed(id, frame_of(second));
  auto answer = g_waiter->take(std::chrono::milliseconds(0));
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (proto::OtaResp{proto::DOWNLOAD_FINISHED, 2048, proto::OTA_RESULT_ERR_FLASH}));

  auto& registry = tvis::c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  registry.map.erase(id);
}

TEST_F(Receive, UndecodablePayloadCostsOnlyItsFrame) {
  tvis_initialize_logging(2);
  const Bytes bad_payload = hex("12 05 08 01");  // device_info claims 5 bytes, 2 follow
  auto decoded = proto::decode_insole_resp(bad_payload);
  ASSERT_FALSE(decoded);
  StdoutCapture out;
  feed(device(), concat({frame_of(pressure_msg(1)), frame_of_payload(bad_payload), frame_of(pressure_msg(2))}));
  const auto lines = out.lines();
  ASSERT_EQ(lines, Strings{"[Rust][ERROR][c] Failed to decode InsoleResp: " + decoded.error().to_string()});
  EXPECT_EQ(lines[0].rfind("[Rust][ERROR][c] Failed to decode InsoleResp: failed to decode Protobuf message: ", 0), 0u);
  const auto events = take_events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].pressure.seq_num, 1u);
  EXPECT_EQ(events[1].pressure.seq_num, 2u);
}

int g_first = 0, g_second = 0;
void count_first(const char*, const TvisPressureSample*) { ++g_first; }
void count_second(const char*, const TvisPressureSample*) { ++g_second; }

TEST_F(Receive, ReplacedOrClearedCallbackTakesEffectOnTheNextCall) {
  const std::string id = device();
  tvis_set_pressure_callback(count_first);
  feed(id, frame_of(pressure_msg(1)));
  tvis_set_pressure_callback(count_second);
  feed(id, concat({frame_of(pressure_msg(2)), frame_of(pressure_msg(3))}));
  EXPECT_EQ(g_first, 1);
  EXPECT_EQ(g_second, 2);

  clear_callbacks();
  proto::InsoleResp all = pressure_msg(4);
  all.sensor_data->imu_data.emplace();
  all.sensor_data->shear_data.emplace();
  all.sensor_data->battery_data.emplace();
  all.battery_data.emplace();
  all.device_event.emplace();
  all.device_info.emplace();
  feed(id, frame_of(all));
  EXPECT_EQ(g_first + g_second, 3);
  EXPECT_TRUE(take_events().empty());
}

}  // namespace
