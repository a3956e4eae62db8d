// One byte stream turned into JSON texts, one per message, with statistics
// and a sequence-number check of its own: the engine behind the Python
// StreamParser and the command-line decoder. It shares nothing with the
// per-device state of the C receive path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/json.h"
#include "protocol/parser.h"

namespace tvis::protocol {

// Texts one after another in one buffer: once it has grown to a call's
// output, a stream's texts cost no allocation each.
class TextList {
 public:
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](size_t i) const { return buffer_.view(i ? ends_[i - 1] : 0, ends_[i]); }
  // Keeps the storage for the next texts.
  void clear() {
    buffer_.clear();
    ends_.clear();
  }
  // Keeps the first n texts.
  void truncate(size_t n) {
    if (n >= ends_.size()) return;
    buffer_.truncate(n ? ends_[n - 1] : 0);
    ends_.resize(n);
  }
  void append(std::string_view text) {
    buffer_.append(text);
    ends_.push_back(buffer_.size());
  }
  void release() {
    buffer_.release();
    std::vector<size_t>().swap(ends_);
  }

  // Writers add a text by writing it at the end of the buffer, then closing it.
  TextBuffer& buffer() { return buffer_; }
  void close_text() { ends_.push_back(buffer_.size()); }

 private:
  TextBuffer buffer_;
  std::vector<size_t> ends_;
};

struct StreamStats {
  uint64_t frames_received = 0;  // frames handed to the decoder
  uint64_t crc_errors = 0;
  uint64_t protobuf_errors = 0;
  uint64_t dropped_bytes = 0;
  uint64_t buffer_overflows = 0;
  uint64_t packets_lost = 0;  // estimated from sequence gaps of 2 to 1000
  uint64_t sequence_discontinuities = 0;
  std::optional<uint32_t> last_seq;
};

// Called with every message that decodes, before it is rendered, also when
// rendering then fails: a host that acts on messages (device events, update
// answers) sees each one once, in stream order. It must not call back into
// the stream that calls it.
struct DecodedHook {
  void (*fn)(void* context, const InsoleResp& msg) = nullptr;
  void* context = nullptr;
};

class JsonStream {
 public:
  JsonStream(bool strict_crc, bool legacy_pressure_fallback, DecodedHook on_decoded = {})
      : strict_crc_(strict_crc), legacy_pressure_fallback_(legacy_pressure_fallback), on_decoded_(on_decoded) {}

  // Feeds the bytes and appends to out one JSON text per message, in stream
  // order. A payload that does not decode, or an enumeration outside its
  // table, ends the call with the error text; the texts made before it and
  // the events after it are kept, and come first in the next call's output.
  std::optional<std::string> push(std::span<const uint8_t> data, TextList& out);
  std::optional<std::string> push(std::span<const uint8_t> data, std::vector<std::string>& out);
  // The same for bytes whose notification boundaries are unknown (a capture
  // read a block at a time): no block is lost to the overflow rule for its
  // size alone (InsoleStreamParser::feed_in_pieces).
  std::optional<std::string> push_in_pieces(std::span<const uint8_t> data, TextList& out);
  std::optional<std::string> push_in_pieces(std::span<const uint8_t> data, std::vector<std::string>& out);

  const StreamStats& stats() const { return stats_; }
  size_t buffered_len() const { return parser_.buffered_len(); }

  // Counters and last_seq to zero; the buffer and held-back output stay.
  void reset_stats() { stats_ = StreamStats{}; }
  // Back to the constructed state: buffer, held-back output and statistics.
  void reset();

 private:
  struct Pending {
    enum Kind : uint8_t { Frame, BadCrcFrame, Dropped, Overflow } kind;
    size_t offset = 0;  // frames: payload position in pending_bytes_
    size_t len = 0;
  };

  void queue(const ParserEvent& event);
  std::optional<std::string> drain(TextList& out);
  std::optional<std::string> handle(const Pending& event, TextList& out);
  std::optional<std::string> copy_out(std::optional<std::string> error, std::vector<std::string>& out);
  void check_sequence(uint32_t seq);

  bool strict_crc_;
  bool legacy_pressure_fallback_;
  DecodedHook on_decoded_;
  InsoleStreamParser parser_;
  StreamStats stats_;
  // Events not yet handled (owned copies) and texts made but not yet returned.
  std::vector<Pending> pending_;
  std::vector<uint8_t> pending_bytes_;
  TextList held_texts_;
  TextList texts_;  // the output of the std::string overloads, before it is copied out
  InsoleResp msg_;
  DecodeError error_;
};

}  // namespace tvis::protocol
