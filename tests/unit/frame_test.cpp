#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/crc16.h"
#include "protocol/frame.h"

using namespace tvis::protocol;
using tvis::test::hex_bytes;
using tvis::test::hex_text;

namespace {

uint16_t stored_crc(const std::vector<uint8_t>& frame) {
  return static_cast<uint16_t>(frame[frame.size() - 2] | frame[frame.size() - 1] << 8);
}

std::vector<uint8_t> encode_ok(const FrameHeader& header, std::span<const uint8_t> payload) {
  auto encoded = encode_frame(header, payload);
  EXPECT_TRUE(encoded.ok()) << encoded.error().to_string();
  return encoded.ok() ? *encoded : std::vector<uint8_t>{};
}

// A frame with a correct CRC appended to the given magic, header and payload.
std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes) {
  uint16_t crc = crc16_modbus(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

}  // namespace

// The header layout depends on the version alone: only version 2 carries the
// three id bytes, and absent ids are written as 1, 2, 0.
TEST(FrameCodec, HeaderLayoutFollowsVersion) {
  struct Case {
    const char* name;
    FrameHeader header;
    std::vector<uint8_t> payload;
    std::string header_bytes;  // magic through the last header byte
    FrameHeader decoded;
  };
  const std::optional<uint8_t> none;
  const Case cases[] = {
      {"short, empty payload", {1, 0x21, none, none, none}, {}, "54 52 56 41 01 21 00 00", {1, 0x21, none, none, none}},
      {"extended, defaults", {2, 0x21, none, none, none}, {0xAB}, "54 52 56 41 02 21 01 00 01 02 00",
       {2, 0x21, 1, 2, 0}},
      {"extended, explicit ids", {2, 0x33, 7, 3, 9}, {1, 2}, "54 52 56 41 02 33 02 00 07 03 09", {2, 0x33, 7, 3, 9}},
      {"other version ignores ids", {3, 0x21, 7, 3, 9}, {5, 6, 7}, "54 52 56 41 03 21 03 00", {3, 0x21, none, none, none}},
      {"version 0", {0, 0x00, none, none, none}, {}, "54 52 56 41 00 00 00 00", {0, 0x00, none, none, none}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto frame = encode_ok(c.header, c.payload);
    const auto header = hex_bytes(c.header_bytes);
    ASSERT_EQ(frame.size(), header.size() + c.payload.size() + 2);
    EXPECT_EQ(hex_text({frame.data(), header.size()}), hex_text(header));
    EXPECT_TRUE(std::equal(c.payload.begin(), c.payload.end(), frame.begin() + header.size()));
    // CRC over everything before it, stored low byte first.
    EXPECT_EQ(stored_crc(frame), crc16_modbus(frame.data(), frame.size() - 2));

    auto decoded = decode_frame(frame);
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_TRUE(decoded->crc_ok());
    EXPECT_FALSE(decoded->crc_error().has_value());
    EXPECT_EQ(decoded->frame.header, c.decoded);
    EXPECT_EQ(decoded->frame.payload, c.payload);

    auto view = decode_frame_view(frame);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view->payload.data(), frame.data() + header.size());
    EXPECT_EQ(view->payload.size(), c.payload.size());
  }
}

TEST(FrameCodec, PayloadLimit) {
  std::vector<uint8_t> payload(MAX_PAYLOAD_LEN, 0x5A);
  const auto frame = encode_ok(FrameHeader{}, payload);
  ASSERT_EQ(frame.size(), 16397u);
  EXPECT_EQ(frame[6], 0x00);
  EXPECT_EQ(frame[7], 0x40);
  auto decoded = decode_frame(frame);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->frame.payload, payload);

  payload.push_back(0);
  auto too_large = encode_frame(FrameHeader{}, payload);
  ASSERT_FALSE(too_large.ok());
  EXPECT_EQ(too_large.error().kind, FrameError::Kind::PayloadTooLarge);
  EXPECT_EQ(too_large.error().to_string(), "payload too large: 16385 > 16384");
}

// The checks run in a fixed order and the length checks come before any read
// of the header or CRC (the sanitizer build catches an over-read).
TEST(FrameCodec, DecodeRejectsMalformedInput) {
  const auto good = with_crc(hex_bytes("54 52 56 41 01 21 01 00 AA"));
  auto plus_one = good;
  plus_one.push_back(0x00);
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    const char* text;
  };
  const Case cases[] = {
      {"empty", {}, "invalid frame length: 0"},
      {"nine bytes", hex_bytes("54 52 56 41 01 21 00 00 FF"), "invalid frame length: 9"},
      {"trailing byte", plus_one, "invalid frame length: 12"},
      {"one byte short", {good.begin(), good.end() - 1}, "invalid frame length: 10"},
      {"extended header needs 13 bytes", hex_bytes("54 52 56 41 02 21 00 00 FF FF"), "invalid frame length: 10"},
      {"bad magic wins over length", hex_bytes("54 52 56 42 01 21 05 00 00 00 00"), "invalid magic bytes"},
      {"payload_len 16385 before length", hex_bytes("54 52 56 41 01 21 01 40 00 00"), "payload too large: 16385 > 16384"},
      {"payload_len 65535", hex_bytes("54 52 56 41 02 21 FF FF 00 00 00 00 00"), "payload too large: 65535 > 16384"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_frame(c.input);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().to_string(), c.text);
    EXPECT_FALSE(decode_frame_view(c.input).ok());
  }
}

// A CRC mismatch still yields the frame; the verdict names the stored value as
// expected and the computed one as calculated.
TEST(FrameCodec, CrcMismatchVerdictCarriesFrameAndBothValues) {
  const std::vector<uint8_t> payload = {0x08, 0x05, 0x10, 0x01};
  const auto good = encode_ok(FrameHeader{}, payload);
  const uint16_t crc = stored_crc(good);

  auto bad_crc = good;
  bad_crc[bad_crc.size() - 1] ^= 0x01;  // one bit of the stored CRC
  auto decoded = decode_frame(bad_crc);
  ASSERT_TRUE(decoded.ok());
  EXPECT_FALSE(decoded->crc_ok());
  EXPECT_EQ(decoded->stored_crc, static_cast<uint16_t>(crc ^ 0x0100));
  EXPECT_EQ(decoded->calculated_crc, crc);
  EXPECT_EQ(decoded->frame.payload, payload);
  EXPECT_EQ(decoded->frame.header.dest_id, std::optional<uint8_t>(2));
  ASSERT_TRUE(decoded->crc_error().has_value());
  EXPECT_EQ(decoded->crc_error()->kind, FrameError::Kind::InvalidCrc);
  EXPECT_EQ(decoded->crc_error()->expected, decoded->stored_crc);
  EXPECT_EQ(decoded->crc_error()->calculated, crc);

  auto bad_payload = good;
  bad_payload[12] ^= 0x80;
  auto view = decode_frame_view(bad_payload);
  ASSERT_TRUE(view.ok());
  EXPECT_FALSE(view->crc_ok());
  EXPECT_EQ(view->stored_crc, crc);
  EXPECT_EQ(view->calculated_crc, crc16_modbus(bad_payload.data(), bad_payload.size() - 2));
}

TEST(FrameCodec, ErrorTexts) {
  auto make = [](FrameError::Kind kind) {
    FrameError e;
    e.kind = kind;
    return e;
  };
  FrameError length = make(FrameError::Kind::InvalidLength);
  length.length = 9;
  FrameError large = make(FrameError::Kind::PayloadTooLarge);
  large.length = 20000;
  large.max = 16384;
  FrameError crc = make(FrameError::Kind::InvalidCrc);
  crc.expected = 0x00FF;
  crc.calculated = 0x4B37;
  FrameError crc_hex = make(FrameError::Kind::InvalidCrc);
  crc_hex.expected = 0xABCD;
  crc_hex.calculated = 0x0000;
  FrameError decode = make(FrameError::Kind::Decode);
  decode.decode_text = "failed to decode Protobuf message: invalid varint";

  EXPECT_EQ(length.to_string(), "invalid frame length: 9");
  EXPECT_EQ(large.to_string(), "payload too large: 20000 > 16384");
  EXPECT_EQ(make(FrameError::Kind::InvalidMagic).to_string(), "invalid magic bytes");
  EXPECT_EQ(crc.to_string(), "invalid crc16: expected 0x00FF, calculated 0x4B37");
  EXPECT_EQ(crc_hex.to_string(), "invalid crc16: expected 0xABCD, calculated 0x0000");
  EXPECT_EQ(decode.to_string(), "protobuf decode error: failed to decode Protobuf message: invalid varint");
}
