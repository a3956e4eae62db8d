#include "protocol/json_stream.h"

#include "log/log.h"
#include "protocol/json.h"
#include "protocol/sequence.h"

namespace tvis::protocol {

void JsonStream::reset() {
  parser_.release();
  std::vector<uint8_t>().swap(pending_bytes_);
  pending_.clear();
  held_texts_.release();
  texts_.release();
  stats_ = StreamStats{};
}

void JsonStream::queue(const ParserEvent& event) {
  auto frame = [this](Pending::Kind kind, std::span<const uint8_t> payload) {
    pending_.push_back({kind, pending_bytes_.size(), payload.size()});
    pending_bytes_.insert(pending_bytes_.end(), payload.begin(), payload.end());
  };
  if (auto* f = std::get_if<FrameReceived>(&event)) {
    frame(Pending::Frame, f->frame.payload);
  } else if (auto* m = std::get_if<CrcMismatch>(&event)) {
    frame(Pending::BadCrcFrame, m->frame.payload);
  } else if (std::holds_alternative<DroppedByte>(event)) {
    pending_.push_back({Pending::Dropped});
  } else {
    pending_.push_back({Pending::Overflow});
  }
}

void JsonStream::check_sequence(uint32_t seq) {
  if (stats_.last_seq) {
    const SequenceStep step{*stats_.last_seq, seq};
    if (!step.continuous()) {
      ++stats_.sequence_discontinuities;
      stats_.packets_lost += step.estimated_lost();
      TVIS_LOG(log::Level::Warn, log::kTargetPython, "[trova_insole_sdk] Python Insole SeqNum not continuous: ",
               step.previous, " -> ", step.next, " (diff ", step.diff(), ")");
    }
  }
  stats_.last_seq = seq;
}

std::optional<std::string> JsonStream::handle(const Pending& event, TextList& out) {
  switch (event.kind) {
    case Pending::Dropped:
      ++stats_.dropped_bytes;
      return std::nullopt;
    case Pending::Overflow:
      ++stats_.buffer_overflows;
      return std::nullopt;
    case Pending::BadCrcFrame:
      ++stats_.crc_errors;
      if (strict_crc_) return std::nullopt;
      [[fallthrough]];
    case Pending::Frame:
      break;
  }
  ++stats_.frames_received;
  if (!decode_insole_resp_into({pending_bytes_.data() + event.offset, event.len}, msg_, error_)) {
    ++stats_.protobuf_errors;
    std::string text = error_.to_string();
    error_ = {};
    return text;
  }
  if (on_decoded_.fn) on_decoded_.fn(on_decoded_.context, msg_);
  if (msg_.sensor_data) {
    SensorData& sd = *msg_.sensor_data;
    if (legacy_pressure_fallback_ && sd.pressure_data && sd.pressure_data->pressure.empty() &&
        !sd.pressure_data->raw_pressure.empty()) {
      sd.pressure_data->pressure = sd.pressure_data->raw_pressure;
    }
    check_sequence(sd.seq_num);
  }
  if (auto rendered = render_json(msg_, out.buffer()); !rendered) return std::move(rendered).error();
  out.close_text();
  return std::nullopt;
}

// Events are queued first: once fed, the bytes have left the buffer, so every
// event they produce must be kept until it is handled.
std::optional<std::string> JsonStream::push(std::span<const uint8_t> data, TextList& out) {
  parser_.feed(data, [this](const ParserEvent& e) { queue(e); });
  return drain(out);
}

std::optional<std::string> JsonStream::push_in_pieces(std::span<const uint8_t> data, TextList& out) {
  parser_.feed_in_pieces(data, [this](const ParserEvent& e) { queue(e); });
  return drain(out);
}

std::optional<std::string> JsonStream::push(std::span<const uint8_t> data, std::vector<std::string>& out) {
  texts_.clear();
  return copy_out(push(data, texts_), out);
}

std::optional<std::string> JsonStream::push_in_pieces(std::span<const uint8_t> data, std::vector<std::string>& out) {
  texts_.clear();
  return copy_out(push_in_pieces(data, texts_), out);
}

std::optional<std::string> JsonStream::copy_out(std::optional<std::string> error, std::vector<std::string>& out) {
  for (size_t i = 0; i < texts_.size(); ++i) out.emplace_back(texts_[i]);
  return error;
}

std::optional<std::string> JsonStream::drain(TextList& out) {
  const size_t out_start = out.size();
  for (size_t i = 0; i < held_texts_.size(); ++i) out.append(held_texts_[i]);
  held_texts_.clear();

  for (size_t i = 0; i < pending_.size(); ++i) {
    if (auto error = handle(pending_[i], out)) {
      // Hold back what this call made and what it did not reach.
      for (size_t t = out_start; t < out.size(); ++t) held_texts_.append(out[t]);
      out.truncate(out_start);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      if (pending_.empty()) pending_bytes_.clear();
      return error;
    }
  }
  pending_.clear();
  pending_bytes_.clear();
  return std::nullopt;
}

}  // namespace tvis::protocol
