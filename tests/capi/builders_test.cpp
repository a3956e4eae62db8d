// The C command builders: exact bytes at a pinned clock, and the message every
// builder's frame decodes back to.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "capi_support.h"
#include "protocol/commands.h"

namespace {

using namespace capi_test;

constexpr uint64_t kClock = 1700000000000;
const Bytes kTimestampPrefix = hex("08 01 10 80 D0 95 FF BC 31");  // msg_id 1, timestamp kClock

// Takes ownership of a builder's result.
Bytes take(ByteBuffer b) {
  Bytes out(b.data, b.data + b.len);
  tvis_free_bytes(b.data, b.len);
  return out;
}

struct Decoded {
  proto::FrameHeader header;
  bool crc_ok = false;
  proto::InsoleReq req;
};

Decoded decode(const Bytes& frame) {
  auto f = proto::decode_frame(frame);
  if (!f) ADD_FAILURE() << "frame does not decode: " << f.error().to_string();
  if (!f) return {};
  auto req = proto::decode_insole_req(f->frame.payload);
  if (!req) ADD_FAILURE() << "payload does not decode: " << req.error().to_string();
  if (!req) return {};
  return {f->frame.header, f->crc_ok(), *req};
}

Bytes payload_of(const Bytes& frame) { return Bytes(frame.begin() + 11, frame.end() - 2); }

class Builders : public ::testing::Test {
 protected:
  void SetUp() override { proto::set_wall_clock_override(kClock); }
  void TearDown() override { proto::set_wall_clock_override(std::nullopt); }
};

TEST_F(Builders, BatteryRequestIsTheDocumentedFrame) {
  EXPECT_EQ(take(tvis_build_battery_request(1)),
            hex("54 52 56 41 02 21 0B 00 01 02 00 08 01 10 80 D0 95 FF BC 31 60 01 0A 6F"));
}

TEST_F(Builders, DestinationChangesOnlyHeaderByteAndCrc) {
  const Bytes left = take(tvis_build_battery_request(1));
  const Bytes right = take(tvis_build_battery_request_with_dest(1, 3));
  ASSERT_EQ(left.size(), right.size());
  EXPECT_EQ(right[9], 3);
  for (size_t i = 0; i < left.size() - 2; ++i) {
    if (i == 9) continue;
    EXPECT_EQ(left[i], right[i]) << "byte " << i;
  }
  EXPECT_NE(Bytes(left.end() - 2, left.end()), Bytes(right.end() - 2, right.end()));
  EXPECT_TRUE(decode(right).crc_ok);
}

// The plain form is the _with_dest form at the left insole, byte for byte.
TEST_F(Builders, PlainFormsAddressTheLeftInsole) {
  struct Pair {
    const char* name;
    std::function<ByteBuffer()> plain, with_dest;
  };
  const Pair pairs[] = {
      {"device_info", [] { return tvis_build_device_info_request(7); },
       [] { return tvis_build_device_info_request_with_dest(7, 2); }},
      {"battery", [] { return tvis_build_battery_request(7); },
       [] { return tvis_build_battery_request_with_dest(7, 2); }},
      {"runtime_info", [] { return tvis_build_runtime_info_request(7); },
       [] { return tvis_build_runtime_info_request_with_dest(7, 2); }},
      {"sensor_config", [] { return tvis_build_sensor_config_request(7); },
       [] { return tvis_build_sensor_config_request_with_dest(7, 2); }},
      {"device_status", [] { return tvis_build_device_status_request(7); },
       [] { return tvis_build_device_status_request_with_dest(7, 2); }},
      {"start", [] { return tvis_build_start_sensor_stream_request(7); },
       [] { return tvis_build_start_sensor_stream_request_with_dest(7, 2); }},
      {"stop", [] { return tvis_build_stop_sensor_stream_request(7); },
       [] { return tvis_build_stop_sensor_stream_request_with_dest(7, 2); }},
      {"set_config", [] { return tvis_build_set_sensor_config_request(7, 25); },
       [] { return tvis_build_set_sensor_config_request_with_dest(7, 25, 2); }},
      {"enable", [] { return tvis_build_enable_sensor_stream_request(7, 25); },
       [] { return tvis_build_enable_sensor_stream_request_with_dest(7, 25, 2); }},
  };
  for (const Pair& p : pairs) EXPECT_EQ(take(p.plain()), take(p.with_dest())) << p.name;
}

TEST_F(Builders, DocumentedPayloads) {
  const Bytes config = hex("F2 01 14 0A 06 08 01 10 01 18 32 12 06 08 01 10 32 18 01 1A 02 10 32");
  const Bytes standard_off = hex("F2 01 08 0A 00 12 02 18 01 1A 00");
  const struct {
    const char* name;
    ByteBuffer frame;
    Bytes tail;  // after msg_id and timestamp
  } cases[] = {
      {"start", tvis_build_start_sensor_stream_request(1), hex("FA 01 02 08 01")},
      {"stop", tvis_build_stop_sensor_stream_request(1), hex("FA 01 02 08 02")},
      {"set_config 50", tvis_build_set_sensor_config_request(1, 50), config},
      {"enable 50", tvis_build_enable_sensor_stream_request(1, 50), concat({config, hex("FA 01 02 08 01")})},
      {"enable 0", tvis_build_enable_sensor_stream_request(1, 0), concat({standard_off, hex("FA 01 02 08 02")})},
  };
  for (const auto& c : cases) {
    const Bytes frame = take(c.frame);
    EXPECT_EQ(payload_of(frame), concat({kTimestampPrefix, c.tail})) << c.name;
  }
}

TEST_F(Builders, EnableAtRateZeroSendsAllThreePartsAndAStop) {
  const proto::InsoleReq req = decode(take(tvis_build_enable_sensor_stream_request(1, 0))).req;
  ASSERT_TRUE(req.set_sensor_config);
  const proto::SensorConfig& c = *req.set_sensor_config;
  ASSERT_TRUE(c.imu_config && c.pressure_config && c.shear_config);
  EXPECT_EQ(*c.imu_config, proto::ImuConfig{});
  EXPECT_EQ(*c.pressure_config, (proto::PressureConfig{false, 0, proto::PRESSURE_MODE_RAW}));
  EXPECT_EQ(*c.shear_config, proto::ShearConfig{});
  ASSERT_TRUE(req.stream_ctrl);
  EXPECT_EQ(req.stream_ctrl->cmd, proto::STREAM_CMD_STOP);
}

TEST_F(Builders, SensorStreamConfigCarriesEverySwitchAndMode) {
  const proto::InsoleReq req =
      decode(take(tvis_build_sensor_stream_config_request(9, 3, 100, 2, 1, 0, false, true, false, true, false))).req;
  ASSERT_TRUE(req.set_sensor_config);
  const proto::SensorConfig& c = *req.set_sensor_config;
  ASSERT_TRUE(c.imu_config && c.pressure_config && c.shear_config);
  EXPECT_EQ(*c.imu_config, (proto::ImuConfig{false, true, 100, 0, std::nullopt}));
  EXPECT_EQ(*c.pressure_config, (proto::PressureConfig{false, 100, 2}));
  EXPECT_EQ(*c.shear_config, (proto::ShearConfig{true, 100, 1, std::nullopt}));
  EXPECT_FALSE(req.stream_ctrl) << "start_stream false never sends a stop";
}

TEST_F(Builders, SensorStreamConfigRefusesModesAboveTwo) {
  const uint32_t modes[][3] = {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}, {0, 0, 0xFFFFFFFF}};
  for (const auto& m : modes) {
    ByteBuffer b = tvis_build_sensor_stream_config_request(1, 2, 50, m[0], m[1], m[2], true, true, true, true, true);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
  }
  ByteBuffer both = tvis_build_sensor_stream_config_request(1, 2, 50, 2, 2, 2, true, true, true, true, true);
  EXPECT_NE(both.data, nullptr);
  tvis_free_bytes(both.data, both.len);
}

// Every builder frames exactly the intended message (whole message compared,
// so stray fields fail too) with the host's header.
TEST_F(Builders, EveryFrameDecodesToTheIntendedRequest) {
  constexpr uint32_t kId = 0xFFFFFFFF;
  auto base = [](auto&& fill) {
    proto::InsoleReq r;
    r.msg_id = kId;
    r.timestamp_ms = kClock;
    fill(r);
    return r;
  };
  auto standard = [](uint32_t rate) {
    proto::SensorConfig c;
    c.imu_config = proto::ImuConfig{true, true, rate, proto::IMU_MODE_CALIBRATED, std::nullopt};
    c.pressure_config = proto::PressureConfig{true, rate, proto::PRESSURE_MODE_RAW};
    c.shear_config = proto::ShearConfig{false, rate, proto::SHEAR_MODE_CALIBRATED, std::nullopt};
    return c;
  };
  const struct {
    const char* name;
    ByteBuffer frame;
    uint8_t dest;
    proto::InsoleReq expected;
  } cases[] = {
      {"device_info", tvis_build_device_info_request_with_dest(kId, 0), 0,
       base([](auto& r) { r.get_device_info = true; })},
      {"battery", tvis_build_battery_request_with_dest(kId, 255), 255, base([](auto& r) { r.get_battery = true; })},
      {"runtime_info", tvis_build_runtime_info_request(kId), 2, base([](auto& r) { r.get_runtime_info = true; })},
      {"sensor_config", tvis_build_sensor_config_request_with_dest(kId, 3), 3,
       base([](auto& r) { r.get_sensor_config = true; })},
      {"device_status", tvis_build_device_status_request(kId), 2, base([](auto& r) { r.get_device_status = true; })},
      {"start", tvis_build_start_sensor_stream_request_with_dest(kId, 3), 3,
       base([](auto& r) { r.stream_ctrl = proto::StreamCtrl{proto::STREAM_CMD_START}; })},
      {"stop", tvis_build_stop_sensor_stream_request_with_dest(kId, 3), 3,
       base([](auto& r) { r.stream_ctrl = proto::StreamCtrl{proto::STREAM_CMD_STOP}; })},
      {"set_config", tvis_build_set_sensor_config_request_with_dest(kId, 0xFFFFFFFF, 3), 3,
       base([&](auto& r) { r.set_sensor_config = standard(0xFFFFFFFF); })},
      {"enable", tvis_build_enable_sensor_stream_request_with_dest(kId, 200, 3), 3, base([&](auto& r) {
         r.set_sensor_config = standard(200);
         r.stream_ctrl = proto::StreamCtrl{proto::STREAM_CMD_START};
       })},
      {"stream_config", tvis_build_sensor_stream_config_request(kId, 3, 50, 1, 0, 0, true, false, true, true, true), 3,
       base([&](auto& r) {
         r.set_sensor_config = standard(50);
         r.stream_ctrl = proto::StreamCtrl{proto::STREAM_CMD_START};
       })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.frame.data, nullptr);
    const Decoded d = decode(take(c.frame));
    EXPECT_TRUE(d.crc_ok);
    EXPECT_EQ(d.header.version, 2);
    EXPECT_EQ(d.header.frame_type, 0x21);
    EXPECT_EQ(d.header.src_id, 1);
    EXPECT_EQ(d.header.dest_id, c.dest);
    EXPECT_EQ(d.header.reserved, 0);
    EXPECT_EQ(d.req, c.expected);
  }
}

TEST(FreeBytes, IgnoresNullOrEmpty) {
  tvis_free_bytes(nullptr, 0);
  tvis_free_bytes(nullptr, 24);
  // With length 0 the block is left alone: freeing it here must not be a
  // double free.
  ByteBuffer b = tvis_build_battery_request(1);
  ASSERT_NE(b.data, nullptr);
  tvis_free_bytes(b.data, 0);
  std::free(b.data);
}

TEST(RealClock, TimestampIsNow) {
  using namespace std::chrono;
  proto::set_wall_clock_override(std::nullopt);
  const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const Bytes frame = take(tvis_build_battery_request(1));
  const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_EQ(frame.size(), 24u);
  const uint64_t ts = decode(frame).req.timestamp_ms;
  EXPECT_GE(ts, static_cast<uint64_t>(before));
  EXPECT_LE(ts, static_cast<uint64_t>(after));
}

}  // namespace
