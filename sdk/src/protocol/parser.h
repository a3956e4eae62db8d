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

struct FrameReceived {
  FrameView frame;
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

// Views inside an event point into the parser's buffer and stay valid until
// the next feed() or clear() on the same parser.
using ParserEvent = std::variant<FrameReceived, CrcMismatch, DroppedByte, BufferOverflow>;

class InsoleStreamParser {
 public:
  using EventSink = FunctionRef<void(const ParserEvent&)>;

  // Appends the chunk, extracts everything that can be extracted and hands
  // each event to the sink in stream order. Never fails.
  void feed(std::span<const uint8_t> chunk, EventSink sink);

  // The same, collecting the events.
  std::vector<ParserEvent> feed(std::span<const uint8_t> chunk);

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

  // Unconsumed bytes are buf_[head_, size). Consumed bytes stay in place until
  // the next feed, so the views handed out remain valid; the next feed moves
  // the remainder to the front once.
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
};

}  // namespace tvis::protocol
