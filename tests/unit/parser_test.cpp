#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/crc16.h"
#include "protocol/frame.h"
#include "protocol/parser.h"

using namespace tvis::protocol;
using tvis::test::concat;
using tvis::test::hex_text;

namespace {

std::vector<uint8_t> make_frame(std::vector<uint8_t> payload, uint8_t version = 2) {
  FrameHeader header;
  header.version = version;
  return encode_frame(header, payload).value();
}

std::vector<uint8_t> payload_of(size_t len, uint8_t seed) {
  std::vector<uint8_t> p(len);
  for (size_t i = 0; i < len; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
  return p;
}

// One line per event. Views point into the parser, so events are described
// right after the feed that produced them.
std::string describe(const ParserEvent& event) {
  if (auto* f = std::get_if<FrameReceived>(&event)) {
    return "frame v" + std::to_string(f->frame.header.version) + " [" + hex_text(f->frame.payload) + "]";
  }
  if (auto* m = std::get_if<CrcMismatch>(&event)) {
    return "crc " + std::to_string(m->expected) + "/" + std::to_string(m->calculated) + " [" +
           hex_text(m->frame.payload) + "] raw [" + hex_text(m->raw) + "]";
  }
  if (auto* d = std::get_if<DroppedByte>(&event)) return "drop " + hex_text(std::span(&d->byte, 1));
  const auto& o = std::get<BufferOverflow>(event);
  return "overflow " + std::to_string(o.buffer_len) + "+" + std::to_string(o.incoming_len) + ">" +
         std::to_string(o.max_len);
}

std::vector<std::string> feed(InsoleStreamParser& parser, std::span<const uint8_t> chunk) {
  std::vector<std::string> out;
  for (const auto& e : parser.feed(chunk)) out.push_back(describe(e));
  return out;
}

std::string frame_line(const std::vector<uint8_t>& payload, int version = 2) {
  return "frame v" + std::to_string(version) + " [" + hex_text(payload) + "]";
}

std::string drop_line(uint8_t b) { return "drop " + hex_text(std::span(&b, 1)); }

std::vector<uint8_t> head(const std::vector<uint8_t>& v, size_t n) { return {v.begin(), v.begin() + n}; }
std::vector<uint8_t> tail(const std::vector<uint8_t>& v, size_t from) { return {v.begin() + from, v.end()}; }

}  // namespace

// Wherever a notification boundary falls, inside the magic, the header, the
// payload or the CRC, the frame comes out once, after the last piece.
TEST(StreamParser, FrameSplitAtEveryPositionIsDeliveredOnce) {
  for (uint8_t version : {uint8_t{1}, uint8_t{2}}) {
    const auto payload = payload_of(20, version);
    const auto frame = make_frame(payload, version);
    for (size_t cut = 1; cut < frame.size(); ++cut) {
      SCOPED_TRACE("version " + std::to_string(version) + " cut " + std::to_string(cut));
      InsoleStreamParser parser;
      EXPECT_TRUE(feed(parser, std::span(frame).first(cut)).empty());
      EXPECT_EQ(parser.buffered_len(), cut);
      EXPECT_EQ(feed(parser, std::span(frame).subspan(cut)), std::vector<std::string>{frame_line(payload, version)});
      EXPECT_EQ(parser.buffered_len(), 0u);
    }
  }
}

TEST(StreamParser, ChunkContents) {
  const auto a = payload_of(5, 1), b = payload_of(0, 2);
  const auto fa = make_frame(a), fb = make_frame(b, 1);
  const std::vector<uint8_t> noise3 = {0x00, 0x54, 0xFF};
  const std::vector<uint8_t> noise10 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  // A false magic whose header claims 20000 payload bytes, right before a frame.
  const std::vector<uint8_t> false_magic = {0x54, 0x52, 0x56, 0x41, 0x02, 0x21, 0x20, 0x4E};
  // "TRVA" directly followed by a frame: the first header reads payload_len
  // from "VA" (16726), so the first T is dropped and the scan finds the frame
  // three bytes later.
  const std::vector<uint8_t> magic_twice = {0x54, 0x52, 0x56, 0x41};

  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<std::vector<std::string>> events;  // per chunk
    size_t buffered_after;
  };
  const Case cases[] = {
      {"two frames in one chunk", {concat({fa, fb})}, {{frame_line(a), frame_line(b, 1)}}, 0},
      {"three noise bytes then a frame",
       {concat({noise3, fa})},
       {{drop_line(0x00), drop_line(0x54), drop_line(0xFF), frame_line(a)}},
       0},
      {"ten noise bytes keep the last three",
       {noise10},
       {{drop_line(1), drop_line(2), drop_line(3), drop_line(4), drop_line(5), drop_line(6), drop_line(7)}},
       3},
      {"kept tail turns out to be noise",
       {noise10, fa},
       {{drop_line(1), drop_line(2), drop_line(3), drop_line(4), drop_line(5), drop_line(6), drop_line(7)},
        {drop_line(8), drop_line(9), drop_line(10), frame_line(a)}},
       0},
      {"magic split after noise", {concat({noise3, head(fa, 3)}), tail(fa, 3)},
       {{drop_line(0x00), drop_line(0x54), drop_line(0xFF)}, {frame_line(a)}}, 0},
      {"magic at the last searchable position", {concat({noise3, head(fa, 4)}), tail(fa, 4)},
       {{drop_line(0x00), drop_line(0x54), drop_line(0xFF)}, {frame_line(a)}}, 0},
      {"false magic costs one byte, then rescan",
       {concat({false_magic, fa})},
       {{drop_line(0x54), drop_line(0x52), drop_line(0x56), drop_line(0x41), drop_line(0x02), drop_line(0x21),
         drop_line(0x20), drop_line(0x4E), frame_line(a)}},
       0},
      {"magic twice", {concat({magic_twice, fa})},
       {{drop_line(0x54), drop_line(0x52), drop_line(0x56), drop_line(0x41), frame_line(a)}}, 0},
      {"partial extended header waits", {head(fa, 9)}, {{}}, 9},
      {"partial magic waits", {head(fa, 3)}, {{}}, 3},
      {"empty chunk", {{}}, {{}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InsoleStreamParser parser;
    for (size_t i = 0; i < c.chunks.size(); ++i) EXPECT_EQ(feed(parser, c.chunks[i]), c.events[i]) << "chunk " << i;
    EXPECT_EQ(parser.buffered_len(), c.buffered_after);
  }
}

// A bad CRC consumes the whole frame: even a valid frame hidden in its payload
// is not found by a byte-wise rescan.
TEST(StreamParser, CrcMismatchConsumesWholeFrame) {
  const auto inner_payload = payload_of(4, 9);
  const auto inner = make_frame(inner_payload, 1);
  auto outer = make_frame(concat({inner, std::vector<uint8_t>{0x00}}));
  const uint16_t stored = static_cast<uint16_t>(outer[outer.size() - 2] | outer[outer.size() - 1] << 8);
  outer[11 + inner.size()] ^= 0xFF;  // the byte after the hidden frame
  const uint16_t calculated = crc16_modbus(outer.data(), outer.size() - 2);
  ASSERT_NE(stored, calculated);

  const auto after = payload_of(3, 4);
  const auto next = make_frame(after);
  InsoleStreamParser parser;
  const auto events = parser.feed(concat({outer, next}));
  ASSERT_EQ(events.size(), 2u);
  const auto* mismatch = std::get_if<CrcMismatch>(&events[0]);
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->expected, stored);
  EXPECT_EQ(mismatch->calculated, calculated);
  EXPECT_EQ(hex_text(mismatch->raw), hex_text(outer));
  EXPECT_EQ(mismatch->frame.header.version, 2);
  EXPECT_EQ(hex_text(mismatch->frame.payload), hex_text(std::span(outer).subspan(11, inner.size() + 1)));
  EXPECT_EQ(describe(events[1]), frame_line(after));
}

TEST(StreamParser, OverflowDropsBufferAndChunk) {
  // A short-header frame with the largest payload is exactly the buffer bound.
  const auto big_payload = payload_of(MAX_PAYLOAD_LEN, 3);
  const auto big = make_frame(big_payload, 1);
  ASSERT_EQ(big.size(), MAX_BUFFER_LEN);

  {
    SCOPED_TRACE("16000 buffered + 400");
    InsoleStreamParser parser;
    EXPECT_TRUE(feed(parser, std::span(big).first(16000)).empty());
    ASSERT_EQ(parser.buffered_len(), 16000u);
    const std::vector<uint8_t> chunk(400, 0x54);
    EXPECT_EQ(feed(parser, chunk), std::vector<std::string>{"overflow 16000+400>16394"});
    EXPECT_EQ(parser.buffered_len(), 0u);
    // The stream resynchronises on the next frame.
    const auto small = payload_of(2, 5);
    EXPECT_EQ(feed(parser, make_frame(small)), std::vector<std::string>{frame_line(small)});
  }
  {
    SCOPED_TRACE("exactly the bound");
    InsoleStreamParser parser;
    EXPECT_TRUE(feed(parser, std::span(big).first(16000)).empty());
    EXPECT_EQ(feed(parser, std::span(big).subspan(16000)), std::vector<std::string>{frame_line(big_payload, 1)});
    EXPECT_EQ(parser.buffered_len(), 0u);
  }
  {
    SCOPED_TRACE("extended header with the largest payload never fits");
    InsoleStreamParser parser;
    const auto huge = make_frame(big_payload, 2);
    EXPECT_EQ(feed(parser, huge), std::vector<std::string>{"overflow 0+16397>16394"});
    EXPECT_EQ(parser.buffered_len(), 0u);
  }
}

// Reassembly must not depend on where the notifications are cut.
TEST(StreamParser, RandomChunkingGivesSameEvents) {
  std::mt19937 rng(77);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> noise(rng() % 6);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    auto frame = make_frame(payload_of(rng() % 300, static_cast<uint8_t>(i)), static_cast<uint8_t>(1 + i % 2));
    if (i % 5 == 3) frame[frame.size() / 2] ^= 0x10;  // some bad CRCs
    stream = concat({stream, noise, frame});
  }
  InsoleStreamParser whole;
  const auto expected = feed(whole, stream);
  ASSERT_GE(expected.size(), 12u);

  for (int trial = 0; trial < 100; ++trial) {
    InsoleStreamParser parser;
    std::vector<std::string> got;
    for (size_t at = 0; at < stream.size();) {
      size_t len = std::min<size_t>(stream.size() - at, 1 + rng() % (trial % 2 ? 8 : 200));
      for (auto& line : feed(parser, std::span(stream).subspan(at, len))) got.push_back(std::move(line));
      at += len;
    }
    ASSERT_EQ(got, expected) << "trial " << trial;
    EXPECT_EQ(parser.buffered_len(), whole.buffered_len());
  }
}
