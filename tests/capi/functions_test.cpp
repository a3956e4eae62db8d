// The C face's stand-alone functions: the command builders (exact bytes at a
// pinned clock), the device info record, calibration and the foot side.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "capi_support.h"
#include "protocol/commands.h"

namespace {

using namespace capi_test;

Bytes take(ByteBuffer b) {
  Bytes out(b.data, b.data + b.len);
  tvis_free_bytes(b.data, b.len);
  return out;
}

struct Builders : ::testing::Test {
  void SetUp() override { proto::set_wall_clock_override(1700000000000); }
  void TearDown() override { proto::set_wall_clock_override(std::nullopt); }
};

// Payloads after "msg_id 1, timestamp 1700000000000" ("*": the whole
// payload), from the plain form (to the left insole, 2) and from the form
// taking a destination; one whole frame, checksum included.
TEST_F(Builders, EveryBuilderFramesItsPayload) {
  EXPECT_EQ(take(tvis_build_battery_request(1)),
            hex("54 52 56 41 02 21 0B 00 01 02 00 08 01 10 80 D0 95 FF BC 31 60 01 0A 6F"));
  const std::string config = "F2 01 14 0A 06 08 01 10 01 18 32 12 06 08 01 10 32 18 01 1A 02 10 32 ";
  const std::string start = "FA 01 02 08 01", stop = "FA 01 02 08 02";
  // clang-format off
  const struct {
    const char* name;
    ByteBuffer plain, other;
    uint8_t dest;  // of other
    std::string payload;
  } cases[] = {
      {"info", tvis_build_device_info_request(1), tvis_build_device_info_request_with_dest(1, 3), 3, "50 01"},
      {"battery", tvis_build_battery_request(1), tvis_build_battery_request_with_dest(1, 255), 255, "60 01"},
      {"runtime", tvis_build_runtime_info_request(1), tvis_build_runtime_info_request_with_dest(1, 0), 0, "58 01"},
      {"config", tvis_build_sensor_config_request(1), tvis_build_sensor_config_request_with_dest(1, 3), 3, "68 01"},
      {"status", tvis_build_device_status_request(1), tvis_build_device_status_request_with_dest(1, 3), 3, "70 01"},
      {"start", tvis_build_start_sensor_stream_request(1), tvis_build_start_sensor_stream_request_with_dest(1, 3), 3,
       start},
      {"stop", tvis_build_stop_sensor_stream_request(1), tvis_build_stop_sensor_stream_request_with_dest(1, 3), 3,
       stop},
      {"set 50", tvis_build_set_sensor_config_request(1, 50), tvis_build_set_sensor_config_request_with_dest(1, 50, 3),
       3, config},
      {"enable 50", tvis_build_enable_sensor_stream_request(1, 50),
       tvis_build_enable_sensor_stream_request_with_dest(1, 50, 3), 3, config + start},
      {"enable 0", tvis_build_enable_sensor_stream_request(1, 0),
       tvis_build_enable_sensor_stream_request_with_dest(1, 0, 3), 3, "F2 01 08 0A 00 12 02 18 01 1A 00 " + stop},
      {"set max", tvis_build_set_sensor_config_request(0xFFFFFFFF, 0xFFFFFFFF),
       tvis_build_set_sensor_config_request_with_dest(0xFFFFFFFF, 0xFFFFFFFF, 3), 3,
       "*08 FF FF FF FF 0F 10 80 D0 95 FF BC 31 F2 01 20 0A 0A 08 01 10 01 18 FF FF FF FF 0F 12 0A 08 01 10 FF FF FF "
       "FF 0F 18 01 1A 06 10 FF FF FF FF 0F"},
      {"stream standard", tvis_build_sensor_stream_config_request(1, 2, 50, 1, 0, 0, 1, 0, 1, 1, 1),
       tvis_build_sensor_stream_config_request(1, 3, 50, 1, 0, 0, 1, 0, 1, 1, 1), 3, config + start},
      {"stream no start", tvis_build_sensor_stream_config_request(1, 2, 100, 2, 1, 0, 0, 1, 0, 1, 0),
       tvis_build_sensor_stream_config_request(1, 3, 100, 2, 1, 0, 0, 1, 0, 1, 0), 3,
       "F2 01 14 0A 04 10 01 18 64 12 04 10 64 18 02 1A 06 08 01 10 64 18 01"},
      {"stream modes 2", tvis_build_sensor_stream_config_request(1, 2, 50, 2, 2, 2, 1, 1, 1, 1, 1),
       tvis_build_sensor_stream_config_request(1, 0, 50, 2, 2, 2, 1, 1, 1, 1, 1), 0,
       "F2 01 1A 0A 08 08 01 10 01 18 32 20 02 12 06 08 01 10 32 18 02 1A 06 08 01 10 32 18 02 " + start},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes payload =
        c.payload[0] == '*' ? hex(c.payload.substr(1)) : hex("08 01 10 80 D0 95 FF BC 31 " + c.payload);
    for (auto [b, dest] : {std::pair{c.plain, uint8_t{2}}, {c.other, c.dest}}) {
      const Bytes frame = take(b);
      const Bytes head = {0x54, 0x52, 0x56, 0x41, 2, 0x21, static_cast<uint8_t>(payload.size()), 0, 1, dest, 0};
      ASSERT_EQ(frame.size(), head.size() + payload.size() + 2);
      EXPECT_EQ(Bytes(frame.begin(), frame.end() - 2), concat({head, payload})) << int(dest);
      EXPECT_TRUE(proto::decode_frame(frame)->crc_ok());
    }
  }
}

// Modes above two are refused. A foreign-function layer may pass any byte for
// a switch; non-zero is true. The frame must stay whole and equal the one
// built from true.
TEST_F(Builders, StreamConfigModesAndSwitches) {
  for (auto [p, s, i] : {std::tuple{3u, 0u, 0u}, {0u, 3u, 0u}, {0u, 0u, 3u}, {0u, 0u, 0xFFFFFFFFu}}) {
    const ByteBuffer b = tvis_build_sensor_stream_config_request(1, 2, 50, p, s, i, true, true, true, true, true);
    EXPECT_TRUE(b.data == nullptr && b.len == 0);
  }
  using AsBytes = ByteBuffer (*)(uint32_t, uint8_t, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, uint8_t, uint8_t,
                                 uint8_t, uint8_t);
  const auto as_bytes = reinterpret_cast<AsBytes>(reinterpret_cast<void (*)()>(&tvis_build_sensor_stream_config_request));
  EXPECT_EQ(take(as_bytes(1, 2, 50, 1, 0, 0, 2, 0, 0x80, 0xFF, 7)),
            take(tvis_build_sensor_stream_config_request(1, 2, 50, 1, 0, 0, true, false, true, true, true)));
}

TEST(FreeBytes, IgnoresNullOrEmpty) {
  tvis_free_bytes(nullptr, 0);
  tvis_free_bytes(nullptr, 24);
  ByteBuffer b = tvis_build_battery_request(1);
  tvis_free_bytes(b.data, 0);  // left alone: freeing it here is no double free
  std::free(b.data);
}

TEST(RealClock, TimestampIsNow) {
  using namespace std::chrono;
  const auto now = [] { return uint64_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()); };
  const uint64_t before = now();
  const auto req = proto::decode_insole_req(proto::decode_frame(take(tvis_build_battery_request(1)))->frame.payload);
  ASSERT_TRUE(req);
  EXPECT_TRUE(req->timestamp_ms >= before && req->timestamp_ms <= now()) << req->timestamp_ms - before;
}

TEST(DeviceInfo, BuiltFromTheIdAlone) {
  for (auto [id, serial] :
       {std::pair{"", "-SERIAL"}, {"\xff\xfe", "UNKNOWN-SERIAL"}, {"pi\xc3\xa9", "pi\xc3\xa9-SERIAL"}}) {
    TvisDeviceInfo* i = tvis_get_device_info(id);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(vals(i->device_id, i->product_id), (Values{2, 0}));
    EXPECT_EQ((Strings{i->serial_number, i->model_name, i->fw_version, i->hw_version, i->git_commit, i->mac}),
              (Strings{serial, "", "", "", "", ""}));
    tvis_free_device_info(i);
  }
  EXPECT_EQ(tvis_get_device_info(nullptr), nullptr);
  tvis_free_device_info(nullptr);
}

// Codes in their order (-1 NULL, -3 short, -2 foot), and nothing written on refusal.
TEST(Calibration, ArgumentChecksInTheirOrder) {
  uint32_t res[48] = {};
  double out[48];
  TvisShearForce forces[3];
  const struct {
    const uint32_t* res;
    size_t count;
    uint8_t foot;
    bool null_out;
    size_t out_len, shear_out_len;
    int32_t code;
  } cases[] = {
      {nullptr, 48, 2, false, 48, 3, -1}, {res, 48, 2, true, 48, 3, -1},  {nullptr, 0, 9, true, 0, 0, -1},
      {res, 47, 2, false, 48, 3, -3},     {res, 48, 2, false, 47, 2, -3}, {res, 0, 7, false, 48, 3, -3},
      {res, 48, 1, false, 48, 3, -2},     {res, 48, 4, false, 48, 3, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count << " foot " << int(c.foot) << " out_len " << c.out_len);
    std::fill(std::begin(out), std::end(out), -7.0);
    std::fill(std::begin(forces), std::end(forces), TvisShearForce{-7.0, -7.0, -7.0});
    EXPECT_EQ(tvis_calibrate_pressure(c.res, c.count, c.foot, c.null_out ? nullptr : out, c.out_len), c.code);
    EXPECT_EQ(tvis_derive_shear(c.res, c.count, c.foot, c.null_out ? nullptr : forces, c.shear_out_len), c.code);
    for (double v : out) EXPECT_EQ(v, -7.0);
    for (const auto& f : forces) EXPECT_EQ(f.normal_force, -7.0);
  }
}

// A pressure cell (channel 0) and a shear quadrant (12, on either foot); the
// low-end fallback, and no load at 0 ohms or from 1 megohm on.
TEST(Calibration, PressureValues) {
  const struct { uint8_t foot; size_t channel; uint32_t ohms; double newtons; } cases[] = {
      {2, 0, 10000, 52.91}, {3, 12, 10000, 340.268}, {2, 12, 100000, 0.044},
      {2, 5, 0, 0.0},       {2, 5, 1000000, 0.0},    {2, 0, 999999, 0.0},
  };
  for (const auto& c : cases) {
    uint32_t res[48];
    std::fill(std::begin(res), std::end(res), 10000u);
    res[c.channel] = c.ohms;
    double out[48];
    ASSERT_EQ(tvis_calibrate_pressure(res, 48, c.foot, out, 48), 0);
    EXPECT_EQ(out[c.channel], c.newtons) << "foot " << int(c.foot) << " channel " << c.channel << " " << c.ohms;
  }
  // One ohm: a huge but finite load. Longer arrays: only 48 values written.
  uint32_t res[60];
  std::fill(std::begin(res), std::end(res), 1u);
  double out[60];
  std::fill(std::begin(out), std::end(out), -7.0);
  ASSERT_EQ(tvis_calibrate_pressure(res, 60, 2, out, 60), 0);
  EXPECT_TRUE(std::isfinite(out[47]) && out[47] > 1e6 && out[48] == -7.0 && out[59] == -7.0);
}

// The three forces derived for the foot; a fourth record stays untouched.
Table shear_of(const uint32_t* res, uint8_t foot) {
  TvisShearForce f[4];
  f[3].force_x = -7.0;
  EXPECT_EQ(tvis_derive_shear(res, 48, foot, f, 4), 0);
  EXPECT_EQ(f[3].force_x, -7.0);
  return {vals(f[0].force_x, f[0].force_y, f[0].normal_force), vals(f[1].force_x, f[1].force_y, f[1].normal_force),
          vals(f[2].force_x, f[2].force_y, f[2].normal_force)};
}

TEST(Calibration, ShearForces) {
  uint32_t res[48];
  std::fill(std::begin(res), std::end(res), 10000u);
  const Values even = {0, 0, 6805.36};
  EXPECT_EQ(shear_of(res, 2), (Table{even, even, even}));
  res[37] = 20000;  // quadrant q1 of sensor 0 on the left foot, q0 of sensor 1 on the right
  EXPECT_EQ(shear_of(res, 2), (Table{{-2262.7875, -2262.7875, 5296.835}, even, even}));
  EXPECT_EQ(shear_of(res, 3), (Table{even, {2262.7875, -2262.7875, 5296.835}, even}));
}

TEST(FootSide, FirstByteDecides) {
  const uint8_t bytes[] = {3, 2, 1, 0xFF, 0};
  EXPECT_EQ(vals(tvis_parse_foot_side(bytes, 5), tvis_parse_foot_side(bytes + 1, 4),
                 tvis_parse_foot_side(bytes + 2, 3), tvis_parse_foot_side(bytes + 3, 2),
                 tvis_parse_foot_side(bytes + 4, 1), tvis_parse_foot_side(nullptr, 0),
                 tvis_parse_foot_side(nullptr, 4), tvis_parse_foot_side(bytes, 0)),
            (Values{3, 2, 2, 2, 2, 0, 0, 0}));
}

}  // namespace
