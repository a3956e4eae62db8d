// The stream parser fed in pieces, as BLE notifications arrive, with every
// payload it yields handed to the decoder.
//
// Input layout:
//   byte 0        bits 0-3: number n of chunk-size bytes that follow;
//                 bits 4-5: the stream is the body 1, 2, 4 or 8 times (long
//                 streams reach the buffer bound even with short inputs);
//                 bit 6: formats the CRC-mismatch warning (no logger is
//                 installed, so nothing is printed).
//   bytes 1..n    chunk sizes, used in turn: 1..239 as they are, 240..254 as
//                 1..15 KiB, 255 as all the rest of the stream, and 0 as an
//                 empty chunk followed by a 1-byte one.
//   the rest      the byte stream.
//
// The parser is checked against a plain re-statement of its rules that erases
// from the front of a vector at every step: both must report the same events,
// in the same order, for every chunk; and without an overflow the events must
// not depend on how the stream was cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "log/log.h"
#include "protocol/crc16.h"
#include "protocol/frame.h"
#include "protocol/parser.h"
#include "roundtrip.h"

namespace {

using namespace tvis::protocol;
using fuzz::require;

// The harness's own loops are not what is being explored: keep them out of
// the coverage feedback so it reflects the parser and the codec only.
#define HARNESS __attribute__((no_sanitize("coverage")))

constexpr size_t kFrameReceived = 0, kCrcMismatch = 1, kDroppedByte = 2, kBufferOverflow = 3;
static_assert(std::is_same_v<std::variant_alternative_t<kBufferOverflow, ParserEvent>, BufferOverflow>);

// An owned copy of an event, for comparing runs: the dropped byte; the raw
// frame with its stored and calculated CRC; or the two lengths of an overflow.
struct Seen {
  size_t kind = 0;
  std::vector<uint8_t> bytes;
  size_t a = 0, b = 0;
  HARNESS bool operator==(const Seen&) const = default;
};

HARNESS const FrameView* frame_of(const ParserEvent& e) {
  if (auto* r = std::get_if<FrameReceived>(&e)) return &r->frame;
  if (auto* m = std::get_if<CrcMismatch>(&e)) return &m->frame;
  return nullptr;
}

// A mismatch carries its bytes; a good frame's view points into the parser's
// buffer, so they lie around its payload.
HARNESS std::span<const uint8_t> raw_of(const ParserEvent& e, const FrameView& f) {
  if (auto* m = std::get_if<CrcMismatch>(&e)) return m->raw;
  return {f.payload.data() - header_len(f.header.version), frame_len(f.header.version, f.payload.size())};
}

HARNESS Seen copy_of(const ParserEvent& e) {
  Seen s{.kind = e.index()};
  if (const FrameView* f = frame_of(e)) {
    const auto raw = raw_of(e, *f);
    s.bytes.assign(raw.begin(), raw.end());
    s.a = f->stored_crc, s.b = f->calculated_crc;
  }
  if (auto* d = std::get_if<DroppedByte>(&e)) s.bytes = {d->byte};
  if (auto* o = std::get_if<BufferOverflow>(&e)) {
    require(o->max_len == MAX_BUFFER_LEN);
    s.a = o->buffer_len, s.b = o->incoming_len;
  }
  return s;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

HARNESS bool magic_at(const std::vector<uint8_t>& b, size_t i) { return std::equal(kMagic, kMagic + 4, b.begin() + i); }

// The reassembly rules, step by step, with no regard for speed.
struct ReferenceParser {
  std::vector<uint8_t> buf;

  HARNESS void drop(size_t count, std::vector<Seen>& out) {
    for (size_t i = 0; i < count; ++i) out.push_back({.kind = kDroppedByte, .bytes = {buf[i]}});
    buf.erase(buf.begin(), buf.begin() + count);
  }

  // A chunk longer than the buffer goes in as notifications would bring it:
  // at most 512 bytes at a time, no more than the buffer has room for, and
  // when it is full (with a frame too large to fit) the rest of that frame.
  HARNESS void feed(std::span<const uint8_t> chunk, std::vector<Seen>& out) {
    if (chunk.size() <= MAX_BUFFER_LEN) return feed_piece(chunk, out);
    while (!chunk.empty()) {
      size_t room = MAX_BUFFER_LEN - buf.size();
      if (room == 0) room = (buf[4] == 2 ? 11 : 8) + le16(&buf[6]) + 2 - buf.size();
      const size_t n = std::min({chunk.size(), size_t{512}, room});
      feed_piece(chunk.first(n), out);
      chunk = chunk.subspan(n);
    }
  }

  HARNESS void feed_piece(std::span<const uint8_t> chunk, std::vector<Seen>& out) {
    if (buf.size() + chunk.size() > MAX_BUFFER_LEN) {
      out.push_back({.kind = kBufferOverflow, .a = buf.size(), .b = chunk.size()});
      buf.clear();
      return;
    }
    buf.insert(buf.end(), chunk.begin(), chunk.end());
    while (buf.size() >= 4) {
      if (!magic_at(buf, 0)) {
        size_t p = 1;
        while (p + 4 <= buf.size() && !magic_at(buf, p)) ++p;
        drop(p + 4 <= buf.size() ? p : buf.size() - 3, out);
      }
      if (buf.size() < 5) break;
      const size_t h = buf[4] == 2 ? 11 : 8;
      if (buf.size() < h) break;
      const size_t payload_len = le16(&buf[6]);
      if (payload_len > 16384) {
        drop(1, out);
        continue;
      }
      const size_t total = h + payload_len + 2;
      if (buf.size() < total) break;
      const uint16_t stored = le16(&buf[h + payload_len]);
      const uint16_t computed = crc16_modbus_bytewise(buf.data(), h + payload_len);
      out.push_back({.kind = stored == computed ? kFrameReceived : kCrcMismatch,
                     .bytes = {buf.begin(), buf.begin() + total}, .a = stored, .b = computed});
      buf.erase(buf.begin(), buf.begin() + total);
    }
  }
};

// Checks of a frame beyond what the reference compares: the ids are decoded
// exactly for version 2, the decoded header and payload rebuild the raw bytes
// up to the CRC, and the payload goes through the decoder.
HARNESS void check_event(const ParserEvent& e) {
  const FrameView* f = frame_of(e);
  if (!f) return;
  const FrameHeader& h = f->header;
  require(h.src_id.has_value() == (h.version == 2) && h.dest_id.has_value() == (h.version == 2) &&
          h.reserved.has_value() == (h.version == 2));
  auto rebuilt = encode_frame(h, f->payload);
  const auto raw = raw_of(e, *f);
  require(rebuilt.ok() && rebuilt->size() == raw.size() && std::equal(raw.begin(), raw.end() - 2, rebuilt->begin()));
  require(le16(&raw[raw.size() - 2]) == f->stored_crc && le16(&rebuilt->back() - 1) == f->calculated_crc);
  if (auto* m = std::get_if<CrcMismatch>(&e)) require(m->expected == f->stored_crc && m->calculated == f->calculated_crc);
  fuzz::check_resp_payload(f->payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const size_t n_sizes = std::min<size_t>(control & 0x0F, size - 1);
  const int repeats = 1 << ((control >> 4) & 3);
  tvis::log::filter().store((control & 0x40) ? static_cast<int>(tvis::log::Level::Warn) : 0);

  std::vector<size_t> sizes;
  for (const uint8_t b : std::span(data + 1, n_sizes))
    sizes.push_back(b < 240 ? b : b < 255 ? static_cast<size_t>(b - 239) * 1024 : SIZE_MAX);
  const std::span<const uint8_t> body(data + 1 + n_sizes, size - 1 - n_sizes);
  if (sizes.empty()) sizes.push_back(std::max<size_t>(body.size(), 1));  // the body in one piece

  std::vector<uint8_t> stream;
  for (int r = 0; r < repeats; ++r) stream.insert(stream.end(), body.begin(), body.end());

  InsoleStreamParser parser;
  ReferenceParser reference;
  std::vector<Seen> seen, expected;
  bool overflowed = false;

  auto feed = [&](std::span<const uint8_t> chunk) {
    const size_t first = seen.size();
    parser.feed(chunk, [&](const ParserEvent& e) {
      seen.push_back(copy_of(e));
      check_event(e);
    });
    reference.feed(chunk, expected);
    require(seen.size() == expected.size());
    for (size_t i = first; i < seen.size(); ++i) {
      require(seen[i] == expected[i]);
      overflowed |= seen[i].kind == kBufferOverflow;
    }
    require(parser.buffered_len() == reference.buf.size() && parser.buffered_len() <= MAX_BUFFER_LEN);
  };

  for (size_t at = 0, next_size = 0, len; at < stream.size(); at += len) {
    len = sizes[next_size++ % sizes.size()];
    if (len == 0) {
      feed({});
      len = 1;
    }
    len = std::min(len, stream.size() - at);
    feed(std::span(stream).subspan(at, len));
  }

  // Without an overflow the cut points must not matter: the same stream in
  // one piece gives the same events, however long it is.
  if (!overflowed) {
    std::vector<Seen> whole;
    InsoleStreamParser one;
    one.feed(stream, [&](const ParserEvent& e) { whole.push_back(copy_of(e)); });
    require(whole == seen && one.buffered_len() == parser.buffered_len());
  }

  parser.clear();
  require(parser.buffered_len() == 0);
  return 0;
}
