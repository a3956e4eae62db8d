#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/parser.h"

using namespace tvis::protocol;
using tvis::test::concat;
using tvis::test::hex_bytes;
using tvis::test::hex_text;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes make_frame(const Bytes& payload, uint8_t version = 2) {
  FrameHeader header;
  header.version = version;
  return encode_frame(header, payload).value();
}

std::string frame_text(const Bytes& payload, int version = 2) {
  return "v" + std::to_string(version) + "[" + hex_text(payload) + "] ";
}

// The events of one feed, one word each: "v2[payload]", "-XX" for a dropped
// byte, "crc stored/calculated v2[payload][raw]", "overflow a+b>max". Views
// point into the parser, so events are described inside the sink.
std::string feed(InsoleStreamParser& parser, std::span<const uint8_t> chunk) {
  std::string out;
  parser.feed(chunk, [&out](const ParserEvent& e) {
    if (auto* f = std::get_if<FrameReceived>(&e)) out += frame_text(f->frame.to_frame().payload, f->frame.header.version);
    if (auto* m = std::get_if<CrcMismatch>(&e))
      out += "crc " + std::to_string(m->expected) + "/" + std::to_string(m->calculated) + " " +
             frame_text(m->frame.to_frame().payload, m->frame.header.version) + "[" + hex_text(m->raw) + "] ";
    if (auto* d = std::get_if<DroppedByte>(&e)) out += "-" + hex_text(std::span(&d->byte, 1)) + " ";
    if (auto* o = std::get_if<BufferOverflow>(&e))
      out += "overflow " + std::to_string(o->buffer_len) + "+" + std::to_string(o->incoming_len) + ">" +
             std::to_string(o->max_len) + " ";
  });
  return out;
}

std::string feed_in_pieces(InsoleStreamParser& parser, std::span<const uint8_t> bytes, size_t piece) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += piece) out += feed(parser, bytes.subspan(at, std::min(piece, bytes.size() - at)));
  return out;
}

}  // namespace

// Reassembly must not depend on where the notifications are cut: a stream of
// noise, frames with both header sizes and a bad CRC gives the same events
// whole, cut once at every position, or cut into random small pieces.
TEST(StreamParser, ChunkingDoesNotChangeEvents) {
  const Bytes a(20, 0xA1), b(7, 0xB2);
  auto bad = make_frame(Bytes(3, 0xC3), 1);
  bad[9] ^= 0x10;
  const auto stream = concat({hex_bytes("00 54 FF"), make_frame(a, 1), bad, make_frame(b)});
  InsoleStreamParser whole;
  const std::string expected = feed(whole, stream);
  ASSERT_EQ(expected.find("-00 -54 -FF " + frame_text(a, 1) + "crc "), 0u);
  ASSERT_EQ(expected.substr(expected.size() - frame_text(b).size()), frame_text(b));
  std::mt19937 rng(77);
  for (size_t trial = 1; trial < stream.size() + 50; ++trial) {
    InsoleStreamParser parser;
    std::string got;
    for (size_t at = 0, len; at < stream.size(); at += len) {
      const size_t cut = at == 0 ? trial : stream.size();
      len = std::min(stream.size() - at, trial < stream.size() ? cut : 1 + rng() % 8);
      got += feed(parser, std::span(stream).subspan(at, len));
    }
    ASSERT_EQ(got, expected) << "trial " << trial;
    EXPECT_EQ(parser.buffered_len(), 0u);
  }
}

TEST(StreamParser, NoiseAndFalseMagic) {
  const Bytes a(5, 0x11), fa = make_frame(a);
  const Bytes noise3 = hex_bytes("00 54 FF"), noise10 = hex_bytes("01 02 03 04 05 06 07 08 09 0A");
  const std::string a_text = frame_text(a);
  const Bytes head4(fa.begin(), fa.begin() + 4);
  const struct {  // the events of each chunk and what is buffered after it
    const char* name; std::vector<Bytes> chunks; std::vector<std::string> events; std::vector<size_t> buffered;
  } cases[] = {
      {"ten noise bytes keep the last three, which turn out to be noise", {noise10, fa},
       {"-01 -02 -03 -04 -05 -06 -07 ", "-08 -09 -0A " + a_text}, {3, 0}},
      {"magic at the last searchable position", {concat({noise3, head4}), Bytes(fa.begin() + 4, fa.end())},
       {"-00 -54 -FF ", a_text}, {4, 0}},
      // A false magic whose header claims 20000 bytes costs one byte, then the scan resumes.
      {"false magic", {concat({hex_bytes("54 52 56 41 02 21 20 4E"), fa})},
       {"-54 -52 -56 -41 -02 -21 -20 -4E " + a_text}, {0}},
      // The first header reads its length from "VA" of the real magic (16726).
      {"magic twice", {concat({hex_bytes("54 52 56 41"), fa})}, {"-54 -52 -56 -41 " + a_text}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InsoleStreamParser parser;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(feed(parser, c.chunks[i]), c.events[i]) << "chunk " << i;
      EXPECT_EQ(parser.buffered_len(), c.buffered[i]) << "chunk " << i;
    }
  }
}

// A bad CRC consumes the whole frame: the valid frame hidden in its payload is
// not found by a rescan.
TEST(StreamParser, CrcMismatchConsumesWholeFrame) {
  const std::string hidden = "54 52 56 41 01 21 02 00 01 02 3F DD";
  const auto bad = hex_bytes("54 52 56 41 02 21 0D 00 01 02 00 " + hidden + " FF 67 2C");  // 0x2C67 stored
  InsoleStreamParser parser;
  EXPECT_EQ(feed(parser, concat({bad, make_frame({7})})),
            "crc 11367/27687 v2[" + hidden + " FF] [" + hex_text(bad) + "] " + frame_text({7}));
}

TEST(StreamParser, OverflowAtTheBound) {
  // A short-header frame with the largest payload is exactly the buffer bound.
  const Bytes big_payload(MAX_PAYLOAD_LEN, 0x03);
  const auto big = make_frame(big_payload, 1);
  InsoleStreamParser parser;
  EXPECT_EQ(feed(parser, std::span(big).first(16000)), "");
  EXPECT_EQ(feed(parser, std::span(big).subspan(16000)), frame_text(big_payload, 1));

  // One byte more drops the buffer and the chunk; the next frame still comes.
  EXPECT_EQ(feed(parser, std::span(big).first(16000)), "");
  EXPECT_EQ(feed(parser, Bytes(395, 0x54)), "overflow 16000+395>16394 ");
  EXPECT_EQ(parser.buffered_len(), 0u);
  EXPECT_EQ(feed(parser, make_frame({7})), frame_text({7}));
}

// A chunk longer than the buffer (a capture read at once) gives what its
// bytes give in notification-sized pieces; overflowing on it would lose
// every frame inside.
TEST(StreamParser, LongChunkIsTakenInPieces) {
  Bytes stream = hex_bytes("00 54 52 56 41 02 21 20 4E");  // noise with a false magic
  for (uint8_t i = 0; i < 150; ++i) stream = concat({stream, make_frame(Bytes(3 * i, i), 1 + i % 2), hex_bytes("FF")});
  stream[500] ^= 0x01;  // one CRC mismatch
  ASSERT_GT(stream.size(), 2 * MAX_BUFFER_LEN);
  // Part of a frame start is buffered before the long chunk comes.
  InsoleStreamParser pieces, whole;
  std::string expected = feed(pieces, std::span(stream).first(7));
  expected += feed_in_pieces(pieces, std::span(stream).subspan(7), 97);
  ASSERT_NE(expected.find("crc "), std::string::npos);
  std::string got = feed(whole, std::span(stream).first(7));
  got += feed(whole, std::span(stream).subspan(7));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(whole.buffered_len(), 1u);

  // The largest frame that fits is found wherever it starts: the pieces stop
  // where the buffer is full instead of overflowing it.
  const Bytes big_payload(MAX_PAYLOAD_LEN, 0x03), small = make_frame({7});
  const auto big = make_frame(big_payload, 1);
  for (size_t noise : {0, 1, 300, 511}) {
    InsoleStreamParser parser;
    std::string dropped;
    for (size_t i = 0; i < noise; ++i) dropped += "-00 ";
    EXPECT_EQ(feed(parser, concat({Bytes(noise, 0x00), big, small})), dropped + frame_text(big_payload, 1) + frame_text({7}))
        << noise;
  }

  // A frame that can never fit overflows on its own last bytes: the frames
  // around it come through, and nothing of it is reported as noise.
  InsoleStreamParser parser;
  EXPECT_EQ(feed(parser, concat({small, make_frame(big_payload, 2), small})),
            frame_text({7}) + "overflow 16394+3>16394 " + frame_text({7}));
}
