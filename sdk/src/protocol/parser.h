// Reassembly of frames from BLE notification pieces for one byte stream. The
// parser keeps no statistics and judges no payload: it reports, in stream
// order, complete frames, frames with a bad CRC, bytes dropped while looking
// for a frame start, and overflows of its bounded buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "protocol/frame.h"
#include "util/function_ref.h"

namespace tvis::protocol {

// The largest payload plus the short header and the CRC. A frame with the
// extended header and a payload above 16381 bytes never fits.
inline constexpr size_t MAX_BUFFER_LEN = 16394;

// The largest ATT value, so the largest piece a notification brings.
inline constexpr size_t MAX_PIECE_LEN = 512;

struct FrameReceived {
  FrameView frame;
  std::span<const uint8_t> raw;  // the whole frame, magic to CRC
};

struct CrcMismatch {
  FrameView frame;
  std::span<const uint8_t> raw;  // the whole frame, magic to CRC
  uint16_t expected = 0;         // stored in the frame
  uint16_t calculated = 0;
};

struct DroppedByte {
  uint8_t byte = 0;
};

struct BufferOverflow {
  size_t buffer_len = 0;    // bytes buffered before the chunk
  size_t incoming_len = 0;  // the chunk's length
  size_t max_len = MAX_BUFFER_LEN;
};

// Views inside an event point into the parser's buffer and are valid only
// while the sink runs: a long chunk is worked through piece by piece, and
// every piece moves the buffer's remainder to the front.
using ParserEvent = std::variant<FrameReceived, CrcMismatch, DroppedByte, BufferOverflow>;

class InsoleStreamParser {
 public:
  using EventSink = FunctionRef<void(const ParserEvent&)>;

  // Appends the chunk, extracts everything that can be extracted and hands
  // each event to the sink in stream order. Never fails. A chunk that would
  // take the buffer past its bound is dropped together with the buffer, as a
  // notification too many would be. A chunk longer than the bound cannot be
  // one notification's worth (a capture read at once, say): dropping it would
  // lose every frame in it, so it goes through feed_in_pieces instead.
  void feed(std::span<const uint8_t> chunk, EventSink sink);

  // Takes the bytes as the consecutive notifications they could have come
  // in: pieces of at most MAX_PIECE_LEN bytes, each cut short where it would
  // take the buffer past its bound. The buffer then only fills up with the
  // start of a frame too large to ever fit; the overflow that follows is cut
  // to the rest of that frame, so the frames after it survive.
  void feed_in_pieces(std::span<const uint8_t> chunk, EventSink sink);

  // The length of the next piece feed_in_pieces would take from `left`
  // bytes. It depends only on the buffer and on `left`, so a caller that
  // feeds piece by piece, stopping and resuming anywhere between pieces,
  // produces exactly the events of one feed_in_pieces.
  size_t next_piece_len(size_t left) const;

  size_t buffered_len() const { return buf_.size() - head_; }
  void clear() {
    buf_.clear();
    head_ = 0;
  }
  // Empties the buffer and gives its storage back.
  void release() {
    std::vector<uint8_t>().swap(buf_);
    head_ = 0;
  }

 private:
  void extract(EventSink& sink);

  // Unconsumed bytes are buf_[head_, size). Consumed bytes stay in place
  // while the sink sees views of them; the next piece moves the remainder to
  // the front once.
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
};

}  // namespace tvis::protocol
