#include "protocol/message_stream.h"

namespace tvis::protocol {

size_t MessageStream::collect_some(InsoleStreamParser& parser, std::span<const uint8_t> bytes, Feeding how) {
  auto sink = [this](const ParserEvent& e) { queue(e); };
  if (pieces_for(how, bytes.size()) == Feeding::notification) {
    parser.feed(bytes, sink);
    return bytes.size();
  }
  // feed_in_pieces, one piece at a time, pausing once the budget is reached.
  size_t taken = 0;
  while (taken < bytes.size() && queued_bytes() < kQueueBudget) {
    const size_t n = parser.next_piece_len(bytes.size() - taken);
    parser.feed(bytes.subspan(taken, n), sink);
    taken += n;
  }
  return taken;
}

void MessageStream::collect(InsoleStreamParser& parser, std::span<const uint8_t> bytes, Feeding how) {
  auto sink = [this](const ParserEvent& e) { queue(e); };
  if (how == Feeding::pieces) parser.feed_in_pieces(bytes, sink);
  else parser.feed(bytes, sink);
}

bool MessageStream::feed(std::span<const uint8_t> bytes, StreamHandler& handler, Feeding how) {
  how = pieces_for(how, bytes.size());
  for (;;) {
    bytes = bytes.subspan(collect_some(parser_, bytes, how));
    if (!deliver(handler)) {
      collect(parser_, bytes, how);
      return false;
    }
    if (bytes.empty()) return true;
  }
}

void MessageStream::queue(const ParserEvent& event) {
  auto frame = [this](Event::Kind kind, const FrameView& view, std::span<const uint8_t> raw) {
    Event e{kind};
    e.payload_offset = static_cast<uint8_t>(header_len(view.header.version));
    e.offset = bytes_.size();
    e.len = raw.size();
    e.header = view.header;
    events_.push_back(e);
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
  };
  if (auto* f = std::get_if<FrameReceived>(&event)) {
    frame(Event::Frame, f->frame, f->raw);
  } else if (auto* m = std::get_if<CrcMismatch>(&event)) {
    frame(Event::BadCrcFrame, m->frame, m->raw);
  } else if (auto* d = std::get_if<DroppedByte>(&event)) {
    // The bytes of a run are the last ones queued, so the run grows in place.
    if (events_.size() > next_ && events_.back().kind == Event::Dropped) {
      ++events_.back().len;
    } else {
      Event e{Event::Dropped};
      e.offset = bytes_.size();
      e.len = 1;
      events_.push_back(e);
    }
    bytes_.push_back(d->byte);
  } else if (auto* o = std::get_if<BufferOverflow>(&event)) {
    Event e{Event::Overflow};
    e.overflow = *o;
    events_.push_back(e);
  }
}

bool MessageStream::deliver(StreamHandler& handler, SharedLastSequence* last) {
  handler_ = &handler;
  shared_last_ = last;
  bool go_on = true;
  while (next_ < events_.size()) {
    // A handler never collects into the stream it is delivered from, so the
    // queue does not move under it.
    if (!handle(events_[next_++], handler)) {
      go_on = false;
      break;
    }
  }
  handler_ = nullptr;
  shared_last_ = nullptr;
  if (next_ == events_.size()) discard();
  return go_on;
}

bool MessageStream::handle(const Event& event, StreamHandler& handler) {
  switch (event.kind) {
    case Event::Dropped:
      for (size_t i = 0; i < event.len; ++i) {
        ++stats_.dropped_bytes;
        handler.on_dropped_byte(*this, bytes_[event.offset + i]);
      }
      return true;
    case Event::Overflow:
      ++stats_.buffer_overflows;
      handler.on_overflow(*this, event.overflow);
      return true;
    case Event::BadCrcFrame:
      ++stats_.crc_errors;
      if (options_.crc == CrcPolicy::strict) {
        handler.on_crc_dropped(*this, event.header);
        return true;
      }
      break;
    case Event::Frame:
      break;
  }
  ++stats_.frames_received;
  const std::span<const uint8_t> bytes(bytes_.data() + event.offset, event.len);
  const StreamFrame frame{event.header, bytes,
                          bytes.subspan(event.payload_offset, event.len - event.payload_offset - kCrcLen),
                          event.kind == Event::Frame};
  if (!handler.on_frame(*this, frame)) return false;
  if (!options_.decode) return true;
  if (!decode_insole_resp_into(frame.payload, msg_, error_)) {
    ++stats_.protobuf_errors;
    const bool go_on = handler.on_decode_error(*this, frame, error_);
    error_ = {};
    return go_on;
  }
  std::optional<SequenceStep> step;
  if (msg_.sensor_data && options_.sequence == SequenceCheck::before_handler)
    step = check_sequence(msg_.sensor_data->seq_num);
  return handler.on_message(*this, frame, msg_, step ? &*step : nullptr);
}

std::optional<SequenceStep> MessageStream::check_sequence(uint32_t seq) {
  std::optional<SequenceStep> step;
  if (shared_last_) {
    step = shared_last_->advance(seq);
  } else {
    if (stats_.last_seq) step = SequenceStep{*stats_.last_seq, seq};
    stats_.last_seq = seq;
  }
  if (step && !step->continuous()) {
    ++stats_.sequence_discontinuities;
    stats_.packets_lost += step->estimated_lost();
    if (handler_) handler_->on_sequence_gap(*this, *step);
  }
  return step;
}

void MessageStream::discard() {
  events_.clear();
  bytes_.clear();
  next_ = 0;
  // What a stopped delivery made the queue hold is not kept for ever.
  if (bytes_.capacity() > 2 * kQueueBudget) std::vector<uint8_t>().swap(bytes_);
  if (events_.capacity() * sizeof(Event) > 2 * kQueueBudget) std::vector<Event>().swap(events_);
}

void MessageStream::reset() {
  parser_.release();
  std::vector<Event>().swap(events_);
  std::vector<uint8_t>().swap(bytes_);
  next_ = 0;
  stats_ = StreamStats{};
}

void apply_pressure_fallback(InsoleResp& msg) {
  if (!msg.sensor_data || !msg.sensor_data->pressure_data) return;
  PressureData& p = *msg.sensor_data->pressure_data;
  if (p.pressure.empty() && !p.raw_pressure.empty()) p.pressure = p.raw_pressure;
}

}  // namespace tvis::protocol
