// The stream parser fed in pieces, as BLE notifications arrive, with every
// payload it yields handed to the decoder.
//
// Input layout:
//   byte 0        bits 0-3: number n of chunk-size bytes that follow;
//                 bits 4-5: the body is fed 1, 2, 4 or 8 times (long streams
//                 reach the buffer bound even with short inputs);
//                 bit 6: formats the CRC-mismatch warning (no logger is
//                 installed, so nothing is printed).
//   bytes 1..n    chunk sizes, used in turn: 1..239 as they are, 240..255 as
//                 1..16 KiB, and 0 as an empty chunk followed by a 1-byte one.
//   the rest      the byte stream.
//
// The parser is checked against a plain re-statement of its rules that erases
// from the front of a vector at every step: both must report the same events,
// in the same order, for every chunk; and without an overflow the events must
// not depend on how the stream was cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "c/log.h"
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

// An owned copy of an event, for comparing runs.
struct Seen {
  size_t kind = 0;
  uint8_t byte = 0;
  FrameHeader header;
  std::vector<uint8_t> payload;
  uint16_t expected = 0;
  uint16_t calculated = 0;
  size_t buffer_len = 0;
  size_t incoming_len = 0;
  HARNESS bool operator==(const Seen&) const = default;
};

HARNESS Seen seen_of(size_t kind, uint8_t byte = 0) {
  Seen s;
  s.kind = kind;
  s.byte = byte;
  return s;
}

constexpr size_t kFrameReceived = 0, kCrcMismatch = 1, kDroppedByte = 2, kBufferOverflow = 3;
static_assert(std::is_same_v<std::variant_alternative_t<kBufferOverflow, ParserEvent>, BufferOverflow>);

HARNESS Seen copy_of(const ParserEvent& e) {
  Seen s = seen_of(e.index());
  const FrameView* f = nullptr;
  if (auto* r = std::get_if<FrameReceived>(&e)) f = &r->frame;
  if (auto* m = std::get_if<CrcMismatch>(&e)) {
    f = &m->frame;
    s.expected = m->expected;
    s.calculated = m->calculated;
  }
  if (f) {
    s.header = f->header;
    s.payload.assign(f->payload.begin(), f->payload.end());
  }
  if (auto* d = std::get_if<DroppedByte>(&e)) s.byte = d->byte;
  if (auto* o = std::get_if<BufferOverflow>(&e)) {
    require(o->max_len == MAX_BUFFER_LEN);
    s.buffer_len = o->buffer_len;
    s.incoming_len = o->incoming_len;
  }
  return s;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

HARNESS bool magic_at(const std::vector<uint8_t>& b, size_t i) { return std::equal(kMagic, kMagic + 4, b.begin() + i); }

// The reassembly rules, step by step, with no regard for speed.
struct ReferenceParser {
  std::vector<uint8_t> buf;

  HARNESS void drop(size_t count, std::vector<Seen>& out) {
    for (size_t i = 0; i < count; ++i) out.push_back(seen_of(kDroppedByte, buf[i]));
    buf.erase(buf.begin(), buf.begin() + count);
  }

  HARNESS void feed(std::span<const uint8_t> chunk, std::vector<Seen>& out) {
    if (buf.size() + chunk.size() > MAX_BUFFER_LEN) {
      Seen s = seen_of(kBufferOverflow);
      s.buffer_len = buf.size();
      s.incoming_len = chunk.size();
      out.push_back(s);
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
      Seen s = seen_of(kFrameReceived);
      s.header.version = buf[4];
      s.header.frame_type = buf[5];
      if (buf[4] == 2) {
        s.header.src_id = buf[8];
        s.header.dest_id = buf[9];
        s.header.reserved = buf[10];
      }
      s.payload.assign(buf.begin() + h, buf.begin() + h + payload_len);
      const uint16_t stored = le16(&buf[h + payload_len]);
      const uint16_t computed = crc16_modbus_bytewise(buf.data(), h + payload_len);
      if (stored != computed) {
        s.kind = kCrcMismatch;
        s.expected = stored;
        s.calculated = computed;
      }
      out.push_back(s);
      buf.erase(buf.begin(), buf.begin() + total);
    }
  }
};

// Checks of one event beyond what the reference compares: the raw bytes of a
// mismatching frame, the frame rebuilt from its decoded header, and the payload
// through the decoder.
HARNESS void check_event(const ParserEvent& e) {
  const FrameView* f = nullptr;
  if (auto* r = std::get_if<FrameReceived>(&e)) {
    f = &r->frame;
    require(f->crc_ok());
    // The decoded header carries everything needed to rebuild the frame
    // byte for byte; the views point at the frame inside the parser's buffer.
    auto rebuilt = encode_frame(f->header, f->payload);
    require(rebuilt.ok());
    const uint8_t* start = f->payload.data() - header_len(f->header.version);
    require(std::equal(rebuilt->begin(), rebuilt->end(), start));
  } else if (auto* m = std::get_if<CrcMismatch>(&e)) {
    f = &m->frame;
    require(!f->crc_ok() && m->expected == f->stored_crc && m->calculated == f->calculated_crc);
    auto rebuilt = encode_frame(f->header, f->payload);
    require(rebuilt.ok() && rebuilt->size() == m->raw.size());
    require(std::equal(m->raw.begin(), m->raw.end() - 2, rebuilt->begin()));
    require(le16(m->raw.data() + m->raw.size() - 2) == m->expected);
    require(le16(rebuilt->data() + rebuilt->size() - 2) == m->calculated);
  }
  if (f) fuzz::check_resp_payload(f->payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const size_t n_sizes = std::min<size_t>(control & 0x0F, size - 1);
  const int repeats = 1 << ((control >> 4) & 3);
  tvis::log::filter().store((control & 0x40) ? static_cast<int>(tvis::log::Level::Warn) : 0);

  std::vector<size_t> sizes;
  for (size_t i = 0; i < n_sizes; ++i) {
    const uint8_t b = data[1 + i];
    sizes.push_back(b < 240 ? b : static_cast<size_t>(b - 239) * 1024);
  }
  const std::span<const uint8_t> body(data + 1 + n_sizes, size - 1 - n_sizes);

  InsoleStreamParser parser;
  ReferenceParser reference;
  std::vector<uint8_t> stream;
  std::vector<Seen> seen, expected;
  bool overflowed = false;
  size_t next_size = 0;

  auto feed = [&](std::span<const uint8_t> chunk) {
    stream.insert(stream.end(), chunk.begin(), chunk.end());
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
    require(parser.buffered_len() == reference.buf.size());
    require(parser.buffered_len() <= MAX_BUFFER_LEN);
  };

  for (int r = 0; r < repeats; ++r) {
    size_t at = 0;
    if (sizes.empty()) {
      feed(body);
      continue;
    }
    while (at < body.size()) {
      size_t len = sizes[next_size++ % sizes.size()];
      if (len == 0) {
        feed({});
        len = 1;
      }
      len = std::min(len, body.size() - at);
      feed(body.subspan(at, len));
      at += len;
    }
  }

  // Without an overflow the cut points must not matter: the same stream in
  // one piece gives the same events.
  if (!overflowed && stream.size() <= MAX_BUFFER_LEN) {
    std::vector<Seen> whole;
    InsoleStreamParser one;
    one.feed(stream, [&](const ParserEvent& e) { whole.push_back(copy_of(e)); });
    require(whole == seen);
    require(one.buffered_len() == parser.buffered_len());
  }

  parser.clear();
  require(parser.buffered_len() == 0);
  return 0;
}
