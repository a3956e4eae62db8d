// The one road from notification bytes to decoded messages: the parser cuts
// frames, the stream copies them out of the parser's buffer, applies the CRC
// policy, decodes each payload as an InsoleResp, keeps the counters and runs
// the sequence check, and hands every frame and message to the caller's
// handler. Every receiver builds on it: the C receive path, the JSON engine
// behind the Python StreamParser and `insole decode`, and the tool's view,
// bridge, export and recorder. What differs between them (log lines, what a
// stop means, where the sequence check sits in a dispatch) is a handler hook
// or an option with a name, never a second copy of the road.
//
// Copying out first and delivering after is what lets a caller feed the
// parser under a lock and decode and call out without it, and what keeps the
// events after a stop for the next delivery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/codec.h"
#include "protocol/parser.h"
#include "protocol/sequence.h"

namespace tvis::protocol {

// The CRC policy, the same on every road: a frame whose CRC does not match
// has been logged by the parser and is counted in crc_errors. A lenient
// stream then uses it like any other frame (the decoder still judges the
// payload; a receiver that dropped such frames would lose samples a link
// with its own integrity check delivered intact). A strict stream drops it
// after counting: nothing it hands on has failed its CRC.
enum class CrcPolicy : uint8_t { lenient, strict };

// Where the sequence check of a message with sensor data runs: before its
// handler sees the message (the step comes with it), or when the handler
// calls check_sequence() itself, at its place in a fixed dispatch order.
enum class SequenceCheck : uint8_t { before_handler, by_handler };

// How bytes reach the parser: as one notification, or as a block whose
// notification boundaries are unknown (InsoleStreamParser::feed_in_pieces).
enum class Feeding : uint8_t { notification, pieces };

struct StreamOptions {
  CrcPolicy crc = CrcPolicy::lenient;
  bool decode = true;  // false: frames only (a recorder, a request reader)
  SequenceCheck sequence = SequenceCheck::before_handler;
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

// One frame as the stream hands it on; the spans live until the handler
// returns.
struct StreamFrame {
  const FrameHeader& header;
  std::span<const uint8_t> bytes;    // the whole frame, magic to CRC
  std::span<const uint8_t> payload;  // inside bytes
  bool crc_ok;
};

class MessageStream;

// What a road does with what the stream delivers. The hooks that return a
// bool stop the delivery with false: the events after that one stay queued
// and come first in the next delivery.
class StreamHandler {
 public:
  // Every frame the CRC policy lets through, before its payload is decoded.
  virtual bool on_frame(MessageStream&, const StreamFrame&) { return true; }
  // The decoded message. step: the sequence check's step when it ran before
  // the handler and the stream had a previous number, else null.
  virtual bool on_message(MessageStream&, const StreamFrame&, InsoleResp&, const SequenceStep*) { return true; }
  virtual bool on_decode_error(MessageStream&, const StreamFrame&, const DecodeError&) { return true; }
  // A frame a strict stream drops for its CRC, counted already.
  virtual void on_crc_dropped(MessageStream&, const FrameHeader&) {}
  // A step that is not continuous, counted already.
  virtual void on_sequence_gap(MessageStream&, const SequenceStep&) {}
  virtual void on_dropped_byte(MessageStream&, uint8_t) {}
  virtual void on_overflow(MessageStream&, const BufferOverflow&) {}

 protected:
  ~StreamHandler() = default;
};

class MessageStream {
 public:
  explicit MessageStream(StreamOptions options = {}) : options_(options) {}

  // What the queue may hold before a collection pauses at a piece boundary
  // for a delivery: a long block (a whole capture in one call) costs this
  // much, not a multiple of its length.
  static constexpr size_t kQueueBudget = 64 * 1024;

  // Feeds the stream's own parser and delivers what the bytes complete, a
  // budget's worth at a time. Returns false when the handler stopped the
  // delivery; the rest of the bytes is then collected and stays queued.
  bool feed(std::span<const uint8_t> bytes, StreamHandler& handler, Feeding how = Feeding::notification);

  // The two halves, for a caller whose parser lives elsewhere (under a lock
  // the delivery must not hold). collect_some() queues owned copies of the
  // parser's events until the queue reaches its budget, at a piece
  // boundary, and returns how many bytes it took; the caller delivers and
  // comes back with the rest, fed as pieces_for() says. collect() takes
  // everything. deliver() works through the queue in stream order.
  size_t collect_some(InsoleStreamParser& parser, std::span<const uint8_t> bytes, Feeding how);
  size_t collect_some(std::span<const uint8_t> bytes, Feeding how) { return collect_some(parser_, bytes, how); }
  void collect(InsoleStreamParser& parser, std::span<const uint8_t> bytes, Feeding how = Feeding::notification);
  void collect(std::span<const uint8_t> bytes, Feeding how = Feeding::notification) { collect(parser_, bytes, how); }
  // How the rest of a block continues once collect_some() has cut it: a
  // notification too long for the buffer is taken in pieces, so is its rest.
  static Feeding pieces_for(Feeding how, size_t len) {
    return how == Feeding::notification && len > MAX_BUFFER_LEN ? Feeding::pieces : how;
  }
  // last: the stream's last sequence number kept outside it, shared by the
  // streams of one device that several threads feed (null: the stream's own).
  bool deliver(StreamHandler& handler, SharedLastSequence* last = nullptr);
  bool has_queued() const { return next_ < events_.size(); }
  // Forgets what is queued and not yet delivered.
  void discard();

  // Runs the sequence check for one number: counts a discontinuity and its
  // estimated loss, tells the handler, and returns the step (none before the
  // first number). Only within a delivery.
  std::optional<SequenceStep> check_sequence(uint32_t seq);

  const StreamStats& stats() const { return stats_; }
  size_t buffered_len() const { return parser_.buffered_len(); }
  InsoleStreamParser& parser() { return parser_; }

  // Counters and last_seq to zero; the buffer and the queue stay.
  void reset_stats() { stats_ = StreamStats{}; }
  // Back to the constructed state, storage given back. Within a delivery
  // only when the handler's hook then returns false, ending the delivery.
  void reset();

 private:
  // A run of dropped bytes is one event over its bytes in bytes_, so bytes
  // that are not frames cost one byte each while queued.
  struct Event {
    enum Kind : uint8_t { Frame, BadCrcFrame, Dropped, Overflow } kind;
    uint8_t payload_offset = 0;  // frames: the header's length
    size_t offset = 0;           // frames and runs: position in bytes_
    size_t len = 0;              // the whole frame's length, or the run's
    FrameHeader header{};
    BufferOverflow overflow{};
  };

  void queue(const ParserEvent& event);
  size_t queued_bytes() const { return bytes_.size() + events_.size() * sizeof(Event); }
  bool handle(const Event& event, StreamHandler& handler);

  StreamOptions options_;
  InsoleStreamParser parser_;
  StreamStats stats_;
  std::vector<Event> events_;
  std::vector<uint8_t> bytes_;
  size_t next_ = 0;  // the first event not yet delivered
  InsoleResp msg_;
  DecodeError error_;
  // Within a delivery: the handler that gets the gaps, the shared number.
  StreamHandler* handler_ = nullptr;
  SharedLastSequence* shared_last_ = nullptr;
};

// The rendering rule of a message whose pressure part carries resistances
// only: the raw values stand in for the calibrated ones, as older firmware
// reported them in that field.
void apply_pressure_fallback(InsoleResp& msg);

}  // namespace tvis::protocol
