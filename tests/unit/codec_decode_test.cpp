#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/codec.h"

// Expected messages are written with designated initializers that name only
// the fields that matter; the rest keep their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tvis::protocol;
using tvis::test::concat;
using tvis::test::hex_bytes;
using tvis::test::hex_text;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes varint(uint64_t v) {
  Bytes out;
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes h(std::string_view text) { return hex_bytes(text); }

// A length-delimited field: key bytes, length, content.
Bytes ld(std::string_view key, const Bytes& content) { return concat({h(key), varint(content.size()), content}); }

// depth nested groups of the unknown field 99, each closed properly.
Bytes groups(int depth) {
  Bytes out;
  for (int i = 0; i < depth; ++i) out = concat({out, h("9B 06")});
  for (int i = 0; i < depth; ++i) out = concat({out, h("9C 06")});
  return out;
}

const std::string kPrefix = "failed to decode Protobuf message: ";

// Field keys used below.
constexpr std::string_view kSensorData = "F2 01", kDeviceEvent = "FA 01", kDeviceInfo = "52",
                           kRuntimeInfo = "5A", kDeviceStatus = "72", kFactoryConfig = "7A",
                           kSensorConfig = "6A", kOtaResp = "92 03";
constexpr std::string_view kImuData = "52", kPressureData = "5A", kShearData = "62", kSdBattery = "A2 01";

}  // namespace

TEST(Decode, ErrorTextsNameTheFailureAndItsPath) {
  struct Case {
    const char* name;
    Bytes input;
    std::string text;  // after the common prefix
  };
  const Case cases[] = {
      // A defined field with a foreign wire type.
      {"msg_id length-delimited", h("0A 00"), "InsoleResp.msg_id: invalid wire type: LengthDelimited (expected Varint)"},
      {"msg_id fixed64", h("09 00 00 00 00 00 00 00 00"),
       "InsoleResp.msg_id: invalid wire type: SixtyFourBit (expected Varint)"},
      {"msg_id start group", h("0B"), "InsoleResp.msg_id: invalid wire type: StartGroup (expected Varint)"},
      {"msg_id end group", h("0C"), "InsoleResp.msg_id: invalid wire type: EndGroup (expected Varint)"},
      {"imu acc_x length-delimited", ld(kSensorData, ld(kImuData, h("0A 00"))),
       "ImuData.acc_x: SensorData.imu_data: InsoleResp.sensor_data: invalid wire type: LengthDelimited (expected "
       "Varint)"},
      {"event type escaped name", ld(kDeviceEvent, h("08 01 12 00")),
       "DeviceEvent.r#type: InsoleResp.device_event: invalid wire type: LengthDelimited (expected Varint)"},
      {"float as varint", ld(kSensorData, ld(kImuData, h("68 01"))),
       "ImuData.acc_scale: SensorData.imu_data: InsoleResp.sensor_data: invalid wire type: Varint (expected "
       "ThirtyTwoBit)"},
      {"string as fixed32", ld(kDeviceInfo, h("15 00 00 00 00")),
       "DeviceInfo.serial_number: InsoleResp.device_info: invalid wire type: ThirtyTwoBit (expected LengthDelimited)"},
      {"sub-message as varint", h("60 01"),
       "InsoleResp.battery_data: invalid wire type: Varint (expected LengthDelimited)"},
      {"repeated as fixed32", ld(kSensorData, ld(kPressureData, h("0D 00 00 00 00"))),
       "PressureData.pressure: SensorData.pressure_data: InsoleResp.sensor_data: invalid wire type: ThirtyTwoBit "
       "(expected Varint)"},
      {"repeated as fixed64", ld(kSensorData, ld(kShearData, h("21 00 00 00 00 00 00 00 00"))),
       "ShearData.raw_shear_y: SensorData.shear_data: InsoleResp.sensor_data: invalid wire type: SixtyFourBit "
       "(expected Varint)"},
      {"three levels down", ld(kSensorConfig, ld("0A", ld("2A", h("32 00")))),
       "ImuOffset.gyro_offset_z: ImuConfig.imu_offset: SensorConfig.imu_config: InsoleResp.sensor_config: invalid "
       "wire type: LengthDelimited (expected Varint)"},
      {"battery inside sensor data", ld(kSensorData, ld(kSdBattery, h("1A 00"))),
       "BatteryData.status: SensorData.battery_data: InsoleResp.sensor_data: invalid wire type: LengthDelimited "
       "(expected Varint)"},
      {"ota result", ld(kOtaResp, h("1A 00")),
       "OtaResp.result: InsoleResp.ota_resp: invalid wire type: LengthDelimited (expected Varint)"},
      {"factory key as varint", ld(kFactoryConfig, h("38 01")),
       "FactoryConfig.factory_key: InsoleResp.factory_config: invalid wire type: Varint (expected LengthDelimited)"},

      // Varints.
      {"value truncated", h("08 80"), "InsoleResp.msg_id: invalid varint"},
      {"key truncated", h("80"), "invalid varint"},
      {"tenth byte above 1", h("08 FF FF FF FF FF FF FF FF FF 02"), "InsoleResp.msg_id: invalid varint"},
      {"eleven bytes", h("10 FF FF FF FF FF FF FF FF FF FF 01"), "InsoleResp.err_code: invalid varint"},
      {"unknown varint truncated", h("98 06 FF"), "invalid varint"},

      // Keys.
      {"key 2^32", h("80 80 80 80 10 00"), "invalid key value: 4294967296"},
      {"key 2^64-1", h("FF FF FF FF FF FF FF FF FF 01"), "invalid key value: 18446744073709551615"},
      {"key 2^32-1 is in range", h("FF FF FF FF 0F"), "invalid wire type value: 7"},
      {"wire type 6", h("0E"), "invalid wire type value: 6"},
      {"wire type 7 in sub-message", ld(kSensorData, h("0F")), "InsoleResp.sensor_data: invalid wire type value: 7"},
      {"field number 0", h("00"), "invalid tag value: 0"},
      {"field number 0 length-delimited", h("02 00"), "invalid tag value: 0"},

      // Lengths and fixed sizes beyond the input.
      {"sensor_data length beyond input", h("F2 01 05 08 01"), "InsoleResp.sensor_data: buffer underflow"},
      {"string length beyond input", ld(kDeviceInfo, h("12 05 41")),
       "DeviceInfo.serial_number: InsoleResp.device_info: buffer underflow"},
      {"float short", ld(kSensorData, ld(kImuData, h("6D 00 00"))),
       "ImuData.acc_scale: SensorData.imu_data: InsoleResp.sensor_data: buffer underflow"},
      {"packed run beyond input", ld(kSensorData, ld(kPressureData, h("0A 05 01"))),
       "PressureData.pressure: SensorData.pressure_data: InsoleResp.sensor_data: buffer underflow"},
      {"unknown fixed64 short", h("99 06 00 00 00 00 00 00 00"), "buffer underflow"},
      {"unknown fixed32 short", h("9D 06 00 00 00"), "buffer underflow"},
      {"unknown length-delimited beyond input", h("9A 06 05 00"), "buffer underflow"},

      // Content overrunning its declared length.
      {"value past sub-message end", h("F2 01 01 08 05"), "InsoleResp.sensor_data: delimited length exceeded"},
      {"string past sub-message end", h("52 02 12 03 41 42 43"), "InsoleResp.device_info: delimited length exceeded"},
      {"inner message past outer end", h("F2 01 02 52 02 08 01"), "InsoleResp.sensor_data: delimited length exceeded"},
      {"packed varint past run end", ld(kSensorData, ld(kPressureData, h("0A 01 96 01"))),
       "PressureData.pressure: SensorData.pressure_data: InsoleResp.sensor_data: delimited length exceeded"},

      // Strings.
      {"overlong UTF-8", ld(kDeviceInfo, h("12 02 C0 80")),
       "DeviceInfo.serial_number: InsoleResp.device_info: invalid string value: data is not UTF-8 encoded"},
      {"surrogate", ld(kFactoryConfig, h("3A 03 ED A0 80")),
       "FactoryConfig.factory_key: InsoleResp.factory_config: invalid string value: data is not UTF-8 encoded"},

      // Groups.
      {"lone end group", h("9C 06"), "unexpected end group tag"},
      {"mismatched end group", h("9B 06 A4 06"), "unexpected end group tag"},
      {"lone end group in sub-message", ld(kSensorData, h("9C 06")), "InsoleResp.sensor_data: unexpected end group tag"},
      {"unterminated group", h("9B 06 08 01"), "invalid varint"},
      {"bad key inside group", h("9B 06 0E 9C 06"), "invalid wire type value: 6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + hex_text(c.input));
    auto decoded = decode_insole_resp(c.input);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().to_string(), kPrefix + c.text);
  }
}

// Skipping nests with a budget of 100 for fields of the top-level message and
// one less per level down; the first group beyond it fails.
TEST(Decode, GroupNestingBudgetPerLevel) {
  struct Level {
    const char* name;
    std::function<Bytes(const Bytes&)> wrap;
    int budget;
    std::string stack;
  };
  const Level levels[] = {
      {"InsoleResp", [](const Bytes& b) { return b; }, 100, ""},
      {"SensorData", [](const Bytes& b) { return ld(kSensorData, b); }, 99, "InsoleResp.sensor_data: "},
      {"ImuData", [](const Bytes& b) { return ld(kSensorData, ld(kImuData, b)); }, 98,
       "SensorData.imu_data: InsoleResp.sensor_data: "},
      {"ImuOffset", [](const Bytes& b) { return ld(kSensorConfig, ld("0A", ld("2A", b))); }, 97,
       "ImuConfig.imu_offset: SensorConfig.imu_config: InsoleResp.sensor_config: "},
  };
  for (const Level& level : levels) {
    SCOPED_TRACE(level.name);
    auto fits = decode_insole_resp(concat({level.wrap(groups(level.budget)), h("08 07")}));
    ASSERT_TRUE(fits.ok()) << fits.error().to_string();
    EXPECT_EQ(fits->msg_id, 7u);

    auto too_deep = decode_insole_resp(level.wrap(groups(level.budget + 1)));
    ASSERT_FALSE(too_deep.ok());
    EXPECT_EQ(too_deep.error().to_string(), kPrefix + level.stack + "recursion limit reached");
  }
}

TEST(Decode, UnknownFieldsAreSkipped) {
  struct Case {
    const char* name;
    Bytes unknown;
  };
  const Case cases[] = {
      {"varint", h("98 06 FF FF 01")},
      {"fixed64", h("99 06 01 02 03 04 05 06 07 08")},
      {"length-delimited", h("9A 06 03 08 07 00")},
      {"fixed32", h("9D 06 01 02 03 04")},
      // Keys inside a group belong to the group, not to the message.
      {"group", h("9B 06 08 07 9A 06 00 9B 06 10 01 9C 06 9C 06")},
      {"largest field number", h("F8 FF FF FF 0F 00")},
      {"undefined number between defined ones", h("18 09")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_insole_resp(concat({h("08 05"), c.unknown, h("10 03")}));
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_EQ(*decoded, (InsoleResp{.msg_id = 5, .err_code = 3}));
  }

  // Numbers 5 and 6 are gaps in FactoryConfig; unknown fields inside a
  // sub-message do not disturb its known ones either.
  auto factory = decode_insole_resp(ld(kFactoryConfig, h("0A 01 53 28 01 32 02 41 42 3A 01 4B")));
  ASSERT_TRUE(factory.ok()) << factory.error().to_string();
  EXPECT_EQ(factory->factory_config, (FactoryConfig{.serial_number = "S", .factory_key = "K"}));

  auto sensor = decode_insole_resp(ld(kSensorData, concat({h("18 04 FD 07 00 00 00 00"), groups(3), h("10 09")})));
  ASSERT_TRUE(sensor.ok()) << sensor.error().to_string();
  EXPECT_EQ(sensor->sensor_data, (SensorData{.timestamp_ms = 9, .seq_num = 4}));
}

TEST(Decode, ValueRules) {
  const uint64_t u64_max = std::numeric_limits<uint64_t>::max();
  struct Case {
    const char* name;
    Bytes input;
    InsoleResp expected;
  };
  const Case cases[] = {
      {"empty payload", {}, {}},
      {"msg_id", h("08 05"), {.msg_id = 5}},
      {"negative enum as ten bytes", h("10 FF FF FF FF FF FF FF FF FF 01"), {.err_code = -1}},
      {"int32 takes the low 32 bits", h("10 FF FF FF FF 0F"), {.err_code = -1}},
      {"uint32 takes the low 32 bits", h("08 81 80 80 80 10"), {.msg_id = 1}},
      {"uint64 keeps every bit", ld(kRuntimeInfo, h("08 FF FF FF FF FF FF FF FF FF 01 10 80 80 80 80 10")),
       {.runtime_info = RuntimeInfo{.boot_time = u64_max, .uptime_ms = 1ull << 32}}},
      {"bool from any non-zero varint",
       ld(kDeviceStatus, h("08 02 10 80 80 80 80 80 80 80 80 80 01 18 80 80 80 80 10")),
       {.device_status = DeviceStatus{.is_wearing = true, .imu_calibrated = true, .pressure_calibrated = true}}},
      {"enumerations are open", ld(kDeviceEvent, h("08 07 10 2A")),
       {.device_event = DeviceEvent{.timestamp_ms = 7, .type = 42}}},
      {"floats little-endian", ld(kSensorData, ld(kImuData, h("6D 00 00 80 3F 75 00 00 C0 BF"))),
       {.sensor_data = SensorData{.imu_data = ImuData{.acc_scale = 1.0f, .gyro_scale = -1.5f}}}},
      {"empty sub-message is present", h("62 00"), {.battery_data = BatteryData{}}},
      {"last scalar wins", h("08 01 08 02"), {.msg_id = 2}},
      {"last string wins", ld(kDeviceInfo, h("12 01 41 12 01 42")),
       {.device_info = DeviceInfo{.serial_number = "B"}}},
      {"packed", ld(kSensorData, ld(kPressureData, h("0A 03 01 02 03"))),
       {.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {1, 2, 3}}}}},
      {"unpacked", ld(kSensorData, ld(kPressureData, h("08 01 08 02 08 03"))),
       {.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {1, 2, 3}}}}},
      {"packed and unpacked mixed", ld(kSensorData, ld(kPressureData, h("08 01 0A 02 02 03 12 01 05 08 04"))),
       {.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {1, 2, 3, 4}, .raw_pressure = {5}}}}},
      {"negative packed element", ld(kSensorData, ld(kPressureData, h("0A 0B 01 FF FF FF FF FF FF FF FF FF 01"))),
       {.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {1, -1}}}}},
      {"empty packed run", ld(kSensorData, ld(kPressureData, h("0A 00"))),
       {.sensor_data = SensorData{.pressure_data = PressureData{}}}},
      {"shear arrays", ld(kSensorData, ld(kShearData, h("0A 01 01 10 02 1A 01 03 20 04"))),
       {.sensor_data = SensorData{.shear_data = ShearData{
                                      .shear_force_x = {1}, .shear_force_y = {2}, .raw_shear_x = {3}, .raw_shear_y = {4}}}}},
      {"repeated sub-messages merge",
       concat({ld(kSensorData, concat({h("10 05 18 01"), ld(kPressureData, h("0A 02 01 02")), ld(kImuData, h("08 01"))})),
               ld(kSensorData, concat({h("18 02"), ld(kPressureData, h("0A 01 03 12 01 09")), ld(kImuData, h("10 02")),
                                       ld(kSdBattery, h("08 32"))}))}),
       {.sensor_data = SensorData{.timestamp_ms = 5,
                                  .seq_num = 2,
                                  .imu_data = ImuData{.acc_x = 1, .acc_y = 2},
                                  .pressure_data = PressureData{.pressure = {1, 2, 3}, .raw_pressure = {9}},
                                  .battery_data = BatteryData{.battery_pct = 50}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + hex_text(c.input));
    auto decoded = decode_insole_resp(c.input);
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_TRUE(*decoded == c.expected);
  }
}

// More cells than the arrays hold inline still decode, in order.
TEST(Decode, LongPackedRun) {
  Bytes run;
  std::vector<int32_t> values;
  for (int i = 0; i < 100; ++i) {
    values.push_back(i % 3 == 0 ? -i : i * 1000);
    run = concat({run, varint(static_cast<uint64_t>(static_cast<int64_t>(values.back())))});
  }
  auto decoded = decode_insole_resp(ld(kSensorData, ld(kPressureData, concat({h("0A"), varint(run.size()), run}))));
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  const auto& got = decoded->sensor_data->pressure_data->pressure;
  EXPECT_EQ(std::vector<int32_t>(got.begin(), got.end()), values);
}

// The receive path decodes every frame into one reused message: nothing of
// the previous payload may survive into the next.
TEST(Decode, IntoReusedMessageStartsFromDefaults) {
  InsoleResp msg;
  DecodeError error;
  ASSERT_TRUE(decode_insole_resp_into(
      concat({h("08 01 10 02"), ld(kSensorData, ld(kPressureData, h("0A 02 01 02"))), h("62 00")}), msg, error));
  ASSERT_TRUE(msg.sensor_data.has_value());

  ASSERT_TRUE(decode_insole_resp_into(ld(kSensorData, ld(kPressureData, h("0A 01 07"))), msg, error));
  EXPECT_TRUE(msg == (InsoleResp{.sensor_data = SensorData{.pressure_data = PressureData{.pressure = {7}}}}));

  EXPECT_FALSE(decode_insole_resp_into(h("0A 00"), msg, error));
  EXPECT_EQ(error.to_string(), kPrefix + "InsoleResp.msg_id: invalid wire type: LengthDelimited (expected Varint)");
}

TEST(Decode, RequestMessage) {
  auto bad = decode_insole_req(ld("9A 03", h("10 01")));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().to_string(), kPrefix + "OtaData.data: InsoleReq.ota_data: invalid wire type: Varint (expected "
                                               "LengthDelimited)");

  // bytes fields carry any bytes; only strings must be UTF-8.
  auto ok = decode_insole_req(concat({h("10 80 80 80 80 10"), ld("9A 03", h("12 02 C0 80 18 01"))}));
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ok->timestamp_ms, 1ull << 32);
  ASSERT_TRUE(ok->ota_data.has_value());
  EXPECT_EQ(ok->ota_data->data, (std::vector<uint8_t>{0xC0, 0x80}));
  EXPECT_TRUE(ok->ota_data->is_last);
}
