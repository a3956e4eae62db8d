#include "protocol/parser.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "util/hex.h"

namespace tvis::protocol {

namespace {

bool starts_with_magic(const uint8_t* p) { return std::memcmp(p, kMagic, 4) == 0; }

void log_crc_mismatch(const CrcMismatch& m) {
  if (!log::enabled(log::Level::Warn)) return;
  std::string text = "CRC mismatch: expected=" + hex_u16(m.expected) +
                     ", calculated=" + hex_u16(m.calculated) + ", raw_frame_hex=";
  append_hex(text, m.raw);
  log::emit(log::Level::Warn, log::kTargetParser, text);
}

}  // namespace

void InsoleStreamParser::feed(std::span<const uint8_t> chunk, EventSink sink) {
  if (chunk.size() > MAX_BUFFER_LEN) [[unlikely]] {
    feed_in_pieces(chunk, sink);
    return;
  }
  const size_t buffered = buffered_len();
  if (buffered + chunk.size() > MAX_BUFFER_LEN) {
    clear();
    sink(ParserEvent{BufferOverflow{buffered, chunk.size(), MAX_BUFFER_LEN}});
    return;
  }
  if (head_ > 0) {
    if (buffered > 0) std::memmove(buf_.data(), buf_.data() + head_, buffered);
    buf_.resize(buffered);
    head_ = 0;
  }
  if (!chunk.empty()) buf_.insert(buf_.end(), chunk.begin(), chunk.end());
  extract(sink);
}

void InsoleStreamParser::feed_in_pieces(std::span<const uint8_t> chunk, EventSink sink) {
  while (!chunk.empty()) {
    const size_t n = next_piece_len(chunk.size());
    feed(chunk.first(n), sink);  // a piece is short: the plain path
    chunk = chunk.subspan(n);
  }
}

size_t InsoleStreamParser::next_piece_len(size_t left) const {
  const size_t buffered = buffered_len();
  size_t room = MAX_BUFFER_LEN - buffered;
  if (room == 0) {
    // Only a frame that can never fit fills the buffer, and extract() has
    // left its header at the front.
    const uint8_t* p = buf_.data() + head_;
    const size_t frame = header_len(p[4]) + frame_payload_len(p) + kCrcLen;
    room = frame > buffered ? frame - buffered : left;
  }
  return std::min({left, MAX_PIECE_LEN, room});
}

void InsoleStreamParser::extract(EventSink& sink) {
  const uint8_t* const base = buf_.data();
  const size_t end = buf_.size();
  auto drop = [&](size_t count) {
    for (size_t i = 0; i < count; ++i) sink(ParserEvent{DroppedByte{base[head_ + i]}});
    head_ += count;
  };

  while (end - head_ >= 4) {
    const size_t avail = end - head_;
    if (!starts_with_magic(base + head_)) {
      const void* found = memmem(base + head_ + 1, avail - 1, kMagic, 4);
      // Without a magic, keep the last three bytes: they may begin one split
      // across chunks.
      drop(found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - (base + head_)) : avail - 3);
      continue;
    }
    if (avail < 5) break;
    const size_t h = header_len(base[head_ + 4]);
    if (avail < h) break;
    const size_t payload_len = frame_payload_len(base + head_);
    if (payload_len > MAX_PAYLOAD_LEN) {  // a false magic costs one byte
      drop(1);
      continue;
    }
    const size_t frame_size = h + payload_len + kCrcLen;
    if (avail < frame_size) break;

    std::span<const uint8_t> raw(base + head_, frame_size);
    auto decoded = decode_frame_view(raw);
    if (!decoded) {
      drop(1);  // the other bytes go back to the front of the buffer
      continue;
    }
    head_ += frame_size;
    if (decoded->crc_ok()) {
      sink(ParserEvent{FrameReceived{*decoded, raw}});
    } else {
      CrcMismatch mismatch{*decoded, raw, decoded->stored_crc, decoded->calculated_crc};
      log_crc_mismatch(mismatch);
      sink(ParserEvent{mismatch});
    }
  }
}

}  // namespace tvis::protocol
