// One byte stream turned into JSON texts, one per message, with the message
// stream's statistics and sequence check: the engine behind the Python
// StreamParser and the command-line decoder. It shares nothing with the
// per-device state of the C receive path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "protocol/codec.h"
#include "protocol/json.h"
#include "protocol/message_stream.h"

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

// Where a stream's sequence warnings go and how their text begins: each
// face that owns a stream names its own, so no caller logs as another.
struct SequenceLog {
  std::string_view target;
  std::string_view prefix;  // followed by "P -> S (diff D)"
};

// Called with every message that decodes, before it is rendered, also when
// rendering then fails: a host that acts on messages (device events, update
// answers) sees each one once, in stream order. It must not call back into
// the stream that calls it.
struct DecodedHook {
  // step: the sequence check's step for a sensor message, when there was a previous number.
  void (*fn)(void* context, const InsoleResp& msg, const SequenceStep* step) = nullptr;
  void* context = nullptr;
};

// The Python StreamParser's warning.
inline constexpr SequenceLog kPythonSequenceLog{log::kTargetPython,
                                                "[trova_insole_sdk] Python Insole SeqNum not continuous: "};

class JsonStream final : private StreamHandler {
 public:
  JsonStream(bool strict_crc, bool legacy_pressure_fallback, SequenceLog sequence_log, DecodedHook on_decoded = {})
      : stream_({strict_crc ? CrcPolicy::strict : CrcPolicy::lenient}),
        legacy_pressure_fallback_(legacy_pressure_fallback),
        sequence_log_(sequence_log),
        on_decoded_(on_decoded) {}

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

  const StreamStats& stats() const { return stream_.stats(); }
  size_t buffered_len() const { return stream_.buffered_len(); }

  // Counters and last_seq to zero; the buffer and held-back output stay.
  void reset_stats() { stream_.reset_stats(); }
  // Back to the constructed state: buffer, held-back output and statistics.
  void reset();

 private:
  bool on_message(MessageStream&, const StreamFrame&, InsoleResp& msg, const SequenceStep*) override;
  bool on_decode_error(MessageStream&, const StreamFrame&, const DecodeError& error) override;
  void on_sequence_gap(MessageStream&, const SequenceStep& step) override;

  std::optional<std::string> feed(std::span<const uint8_t> data, Feeding how, TextList& out);
  // Delivers what is queued; on a stop, holds back the texts from out_start.
  std::optional<std::string> drain(TextList& out, size_t out_start);
  std::optional<std::string> copy_out(std::optional<std::string> error, std::vector<std::string>& out);

  MessageStream stream_;
  bool legacy_pressure_fallback_;
  SequenceLog sequence_log_;
  DecodedHook on_decoded_;
  TextList held_texts_;  // texts made but not yet returned
  TextList texts_;       // the output of the std::string overloads, before it is copied out
  // Within a delivery: where texts go, and the error that stopped it.
  TextList* out_ = nullptr;
  std::optional<std::string> error_;
};

}  // namespace tvis::protocol
