// Field order, packing and default omission are compared byte for byte with
// libprotobuf in tests/diff; here go float bit patterns and the bounded target.
#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "byte_text.h"
#include "protocol/codec.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tvis::protocol;
using tvis::test::hex_bytes;
using tvis::test::hex_text;

// -0.0 is left out like 0.0 (the reference would write it); NaN payloads and
// the sign of zero survive decoding.
TEST(Encode, FloatBitPatterns) {
  InsoleResp msg;
  msg.sensor_data = SensorData{
      .imu_data = ImuData{.acc_scale = -0.0f, .gyro_scale = std::bit_cast<float>(0x7FC01234u)}};
  const auto bytes = encode_insole_resp(msg);
  EXPECT_EQ(hex_text(bytes), "F2 01 07 52 05 75 34 12 C0 7F");
  EXPECT_EQ(encoded_len(msg), bytes.size());

  auto back = decode_insole_resp(hex_bytes("F2 01 0C 52 0A 6D 00 00 00 80 75 34 12 C0 7F"));
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(std::bit_cast<uint32_t>(back->sensor_data->imu_data->acc_scale), 0x80000000u);
  EXPECT_EQ(std::bit_cast<uint32_t>(back->sensor_data->imu_data->gyro_scale), 0x7FC01234u);
}

// A fixed-capacity target either receives the whole message or is left
// untouched.
TEST(Encode, IntoFixedCapacity) {
  InsoleReq req;
  req.msg_id = 7;
  req.get_battery = true;
  std::vector<uint8_t> out(3, 0xAA);
  auto failed = encode_insole_req_into(req, out);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().to_string(),
            "failed to encode Protobuf message; insufficient buffer capacity (required: 4, remaining: 3)");
  EXPECT_EQ(hex_text(out), "AA AA AA");
  out.resize(6, 0xAA);
  EXPECT_EQ(encode_insole_req_into(req, std::span(out).first(4)).value(), 4u);
  EXPECT_EQ(encode_insole_req_into(req, out).value(), 4u);
  EXPECT_EQ(hex_text(out), "08 07 60 01 AA AA");
}
