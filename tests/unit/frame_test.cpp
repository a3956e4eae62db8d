#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "byte_text.h"
#include "protocol/frame.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tvis::protocol;
using tvis::test::hex_bytes;
using tvis::test::hex_text;

// Only version 2 carries the three id bytes; absent ids are written as 1, 2, 0.
// The CRC covers everything before it and is stored low byte first.
TEST(FrameCodec, HeaderLayoutFollowsVersion) {
  const std::optional<uint8_t> no;
  const struct {
    FrameHeader header;
    const char* payload;
    const char* frame;
    FrameHeader decoded;
  } cases[] = {
      {{1, 0x21, no, no, no}, "", "54 52 56 41 01 21 00 00 56 CE", {1, 0x21, no, no, no}},
      {{2, 0x21, no, no, no}, "AB", "54 52 56 41 02 21 01 00 01 02 00 AB D0 30", {2, 0x21, 1, 2, 0}},
      {{2, 0x33, 7, 3, 9}, "01 02", "54 52 56 41 02 33 02 00 07 03 09 01 02 24 D6", {2, 0x33, 7, 3, 9}},
      {{3, 0x21, 7, 3, 9}, "05 06 07", "54 52 56 41 03 21 03 00 05 06 07 81 D3", {3, 0x21, no, no, no}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    const auto payload = hex_bytes(c.payload), frame = hex_bytes(c.frame);
    EXPECT_EQ(hex_text(encode_frame(c.header, payload).value()), hex_text(frame));
    auto decoded = decode_frame(frame);
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_TRUE(decoded->check_crc().ok());
    EXPECT_EQ(decoded->frame, (Frame{c.decoded, payload}));
  }
}

// The largest payload passes through the parser test; one byte more is refused.
TEST(FrameCodec, EncodeRefusesPayloadAboveLimit) {
  auto too_large = encode_frame(FrameHeader{}, std::vector<uint8_t>(MAX_PAYLOAD_LEN + 1));
  EXPECT_EQ(too_large.ok() ? "accepted" : too_large.error().to_string(), "payload too large: 16385 > 16384");
}

// The checks run in a fixed order and the length checks come before any read
// of the header or CRC (the sanitizer build catches an over-read).
TEST(FrameCodec, DecodeRejectsMalformedInput) {
  const struct { const char *input, *text; } cases[] = {
      {"", "invalid frame length: 0"},
      {"54 52 56 42 01 21 00 00 FF", "invalid frame length: 9"},              // short: length before magic
      {"54 52 56 41 01 21 01 00 AA 00 00 00", "invalid frame length: 12"},     // one byte too many
      {"54 52 56 41 01 21 01 00 AA 00", "invalid frame length: 10"},           // one byte short
      {"54 52 56 41 02 21 00 00 FF FF", "invalid frame length: 10"},           // extended header needs 13
      {"54 52 56 42 01 21 05 00 00 00 00", "invalid magic bytes"},             // magic before exact length
      {"54 52 56 41 01 21 01 40 00 00", "payload too large: 16385 > 16384"},   // before exact length
  };
  for (const auto& c : cases) {
    auto decoded = decode_frame(hex_bytes(c.input));
    EXPECT_EQ(decoded.ok() ? "accepted" : decoded.error().to_string(), c.text) << c.input;
  }
}

// A CRC mismatch still yields the frame; the verdict names the stored value as
// expected and the computed one as calculated.
TEST(FrameCodec, CrcMismatchCarriesFrameAndBothValues) {
  const auto frame = hex_bytes("54 52 56 41 02 21 02 00 01 02 00 08 05 BA 6E");  // CRC is 0x6FBA
  auto decoded = decode_frame(frame);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->frame.payload, hex_bytes("08 05"));
  EXPECT_TRUE(decoded->stored_crc == 0x6EBA && decoded->calculated_crc == 0x6FBA);
  EXPECT_EQ(decoded->check_crc().error().to_string(), "invalid crc16: expected 0x6EBA, calculated 0x6FBA");

  FrameError decode_error{.kind = FrameError::Kind::Decode, .decode_text = "failed to decode Protobuf message: x"};
  EXPECT_EQ(decode_error.to_string(), "protobuf decode error: failed to decode Protobuf message: x");
}
