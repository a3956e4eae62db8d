#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/codec.h"

// Expected messages are written with designated initializers that name only
// the fields that matter; the rest keep their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tvis::protocol;
using tvis::test::hex_bytes;
using tvis::test::hex_text;

namespace {

// Everything set to something other than its default, with arrays long enough
// to need multi-byte lengths and to leave their inline storage.
InsoleResp full_resp() {
  InsoleResp m;
  m.msg_id = 0xFFFFFFFF;
  m.err_code = HARDWARE_ERROR;
  m.device_info = DeviceInfo{DEVICE_RIGHT, "SN-01", 7, "model", "1.2.3", "B", "abc123", "AA:BB:CC:DD:EE:FF"};
  m.runtime_info = RuntimeInfo{std::numeric_limits<uint64_t>::max(), 123456789};
  m.battery_data = BatteryData{87, 3950, BATTERY_STATUS_CHARGING};
  m.sensor_config = SensorConfig{ImuConfig{true, true, 100, IMU_MODE_BOTH, ImuOffset{-1, 2, -3, 4, -5, 6}},
                                 PressureConfig{true, 50, PRESSURE_MODE_RAW},
                                 ShearConfig{true, 25, SHEAR_MODE_BOTH, ShearOffset{-7, 8}}};
  m.device_status = DeviceStatus{true, true, true, true, 0x80000001};
  m.factory_config = FactoryConfig{"SN-02", DEVICE_LEFT, "model-x", "11:22", "k\xC3\xA9y"};
  SensorData s;
  s.device_id = -5;  // open enumeration
  s.timestamp_ms = 4000000000u;
  s.seq_num = 9;
  s.imu_data = ImuData{1, -2, 3, -4, 5, -6, 7, -8, 9, -10, 11, std::numeric_limits<int32_t>::min(), 0.5f, -1e-20f};
  PressureData p;
  for (int i = 0; i < 60; ++i) {
    p.pressure.push_back(i * 40000 - 1000000);
    p.raw_pressure.push_back(i);
  }
  s.pressure_data = p;
  s.shear_data = ShearData{{1, -1, 2}, {3, 4, 5}, {-6}, {}};
  s.battery_data = BatteryData{};
  m.sensor_data = s;
  m.device_event = DeviceEvent{123, EVENT_WEAR_OFF};
  m.ota_resp = OtaResp{DOWNLOADING, 4096, OTA_RESULT_ERR_BUSY};
  return m;
}

InsoleReq full_req() {
  InsoleReq r;
  r.msg_id = 42;
  r.timestamp_ms = 1700000000000ull;
  r.get_device_info = r.get_runtime_info = r.get_battery = true;
  r.get_sensor_config = r.get_device_status = r.get_factory_config = true;
  r.set_sensor_config = SensorConfig{ImuConfig{true, false, 200, IMU_MODE_RAW, std::nullopt}, std::nullopt,
                                     ShearConfig{false, 0, SHEAR_MODE_CALIBRATED, ShearOffset{}}};
  r.stream_ctrl = StreamCtrl{STREAM_CMD_STOP};
  r.set_factory_config = FactoryConfig{"S", DEVICE_RIGHT, "", "", "key"};
  r.ota_req = OtaReq{OTA_CMD_START, 123456, 0xDEADBEEF, {}, 0, 0};
  r.ota_data = OtaData{512, std::vector<uint8_t>(512, 0xC0), true, 3, 0x12345678};
  return r;
}

}  // namespace

TEST(Encode, ExactBytes) {
  InsoleResp battery_only;
  battery_only.battery_data = BatteryData{};
  InsoleResp with_id = battery_only;
  with_id.msg_id = 1;

  // Every top-level sub-message present and empty: keys in field-number
  // order, the ones above 15 taking two bytes.
  InsoleResp all_empty{.msg_id = 1, .err_code = 1};
  all_empty.device_info.emplace();
  all_empty.runtime_info.emplace();
  all_empty.battery_data.emplace();
  all_empty.sensor_config.emplace();
  all_empty.device_status.emplace();
  all_empty.factory_config.emplace();
  all_empty.sensor_data.emplace();
  all_empty.device_event.emplace();
  all_empty.ota_resp.emplace();

  InsoleResp pressure;
  pressure.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {1, -1}}};

  InsoleResp signed_zero;
  signed_zero.sensor_data = SensorData{.imu_data = ImuData{.acc_scale = -0.0f, .gyro_scale = 0.0f}};

  InsoleResp scalars;
  scalars.err_code = -1;
  scalars.device_info = DeviceInfo{.serial_number = "A"};
  scalars.device_status = DeviceStatus{.shear_calibrated = true};
  scalars.ota_resp = OtaResp{.offset = 300};

  InsoleResp defaults;
  defaults.sensor_config = SensorConfig{.imu_config = ImuConfig{.acc_subscription = false, .imu_offset = ImuOffset{}}};
  defaults.sensor_data = SensorData{.imu_data = ImuData{.acc_scale = 1.0f}, .shear_data = ShearData{}};

  struct Case {
    const char* name;
    InsoleResp msg;
    std::string bytes;
  };
  const Case cases[] = {
      {"nothing set", InsoleResp{}, ""},
      {"empty battery_data", battery_only, "62 00"},
      {"msg_id and empty battery_data", with_id, "08 01 62 00"},
      {"field order and two-byte keys", all_empty, "08 01 10 01 52 00 5A 00 62 00 6A 00 72 00 7A 00 F2 01 00 FA 01 00 92 03 00"},
      {"packed negative", pressure, "F2 01 0F 5A 0D 0A 0B 01 FF FF FF FF FF FF FF FF FF 01"},
      {"signed zero floats left out", signed_zero, "F2 01 02 52 00"},
      {"scalars", scalars, "10 FF FF FF FF FF FF FF FF FF 01 52 03 12 01 41 72 02 20 01 92 03 03 10 AC 02"},
      {"defaults inside present sub-messages", defaults, "6A 04 0A 02 2A 00 F2 01 09 52 05 6D 00 00 80 3F 62 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto encoded = encode_insole_resp(c.msg);
    EXPECT_EQ(hex_text(encoded), hex_text(hex_bytes(c.bytes)));
    EXPECT_EQ(encoded_len(c.msg), encoded.size());
  }
}

TEST(Encode, RequestKeysInFieldOrder) {
  InsoleReq r;
  r.msg_id = 1;
  r.timestamp_ms = 2;
  r.get_device_info = r.get_runtime_info = r.get_battery = true;
  r.get_sensor_config = r.get_device_status = r.get_factory_config = true;
  r.set_sensor_config.emplace();
  r.stream_ctrl = StreamCtrl{STREAM_CMD_START};
  r.set_factory_config.emplace();
  r.ota_req.emplace();
  r.ota_data = OtaData{.data = {0xC0}};
  EXPECT_EQ(hex_text(encode_insole_req(r)),
            hex_text(hex_bytes("08 01 10 02 50 01 58 01 60 01 68 01 70 01 78 01 F2 01 00 FA 01 02 08 01 "
                               "82 02 00 92 03 00 9A 03 03 12 01 C0")));
  EXPECT_EQ(encoded_len(r), encode_insole_req(r).size());
}

TEST(Encode, RoundTripThroughDecoder) {
  const InsoleResp resp = full_resp();
  const auto resp_bytes = encode_insole_resp(resp);
  EXPECT_EQ(encoded_len(resp), resp_bytes.size());
  auto resp_back = decode_insole_resp(resp_bytes);
  ASSERT_TRUE(resp_back.ok()) << resp_back.error().to_string();
  EXPECT_TRUE(*resp_back == resp);

  const InsoleReq req = full_req();
  const auto req_bytes = encode_insole_req(req);
  EXPECT_EQ(encoded_len(req), req_bytes.size());
  auto req_back = decode_insole_req(req_bytes);
  ASSERT_TRUE(req_back.ok()) << req_back.error().to_string();
  EXPECT_TRUE(*req_back == req);
}

// A fixed-capacity target either receives the whole message or is left
// untouched.
TEST(Encode, IntoFixedCapacity) {
  const InsoleResp resp = full_resp();
  const auto expected = encode_insole_resp(resp);
  const size_t n = expected.size();

  std::vector<uint8_t> exact(n, 0xAA);
  auto written = encode_insole_resp_into(resp, exact);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, n);
  EXPECT_EQ(exact, expected);

  std::vector<uint8_t> roomy(n + 5, 0xAA);
  ASSERT_TRUE(encode_insole_resp_into(resp, roomy).ok());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), roomy.begin()));
  EXPECT_EQ(roomy[n], 0xAA);

  std::vector<uint8_t> short_by_one(n - 1, 0xAA);
  auto failed = encode_insole_resp_into(resp, short_by_one);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().required, n);
  EXPECT_EQ(failed.error().remaining, n - 1);
  EXPECT_EQ(short_by_one, std::vector<uint8_t>(n - 1, 0xAA));

  InsoleReq req;
  req.msg_id = 7;
  req.get_battery = true;
  std::vector<uint8_t> three(3, 0xAA);
  auto req_failed = encode_insole_req_into(req, three);
  ASSERT_FALSE(req_failed.ok());
  EXPECT_EQ(req_failed.error().to_string(),
            "failed to encode Protobuf message; insufficient buffer capacity (required: 4, remaining: 3)");
  EXPECT_EQ(three, std::vector<uint8_t>(3, 0xAA));

  auto empty_ok = encode_insole_resp_into(InsoleResp{}, std::span<uint8_t>{});
  ASSERT_TRUE(empty_ok.ok());
  EXPECT_EQ(*empty_ok, 0u);
}
