#include "protocol/json_stream.h"

#include "log/log.h"
#include "protocol/json.h"

namespace tvis::protocol {

void JsonStream::reset() {
  stream_.reset();
  held_texts_.release();
  texts_.release();
}

void JsonStream::on_sequence_gap(MessageStream&, const SequenceStep& step) {
  TVIS_LOG(log::Level::Warn, sequence_log_.target, sequence_log_.prefix, step.previous, " -> ", step.next, " (diff ",
           step.diff(), ")");
}

bool JsonStream::on_decode_error(MessageStream&, const StreamFrame&, const DecodeError& error) {
  error_ = error.to_string();
  return false;
}

bool JsonStream::on_message(MessageStream&, const StreamFrame&, InsoleResp& msg, const SequenceStep* step) {
  if (on_decoded_.fn) on_decoded_.fn(on_decoded_.context, msg, step);
  if (legacy_pressure_fallback_) apply_pressure_fallback(msg);
  if (auto rendered = render_json(msg, out_->buffer()); !rendered) {
    error_ = std::move(rendered).error();
    return false;
  }
  out_->close_text();
  return true;
}

// Events are queued first: once fed, the bytes have left the buffer, so every
// event they produce must be kept until it is handled.
std::optional<std::string> JsonStream::push(std::span<const uint8_t> data, TextList& out) {
  return feed(data, Feeding::notification, out);
}

std::optional<std::string> JsonStream::push_in_pieces(std::span<const uint8_t> data, TextList& out) {
  return feed(data, Feeding::pieces, out);
}

// A budget's worth of the stream's queue at a time, so one long push costs
// the texts it makes and no more. A stop keeps the rest of the bytes queued.
std::optional<std::string> JsonStream::feed(std::span<const uint8_t> data, Feeding how, TextList& out) {
  const size_t out_start = out.size();
  how = MessageStream::pieces_for(how, data.size());
  do {
    data = data.subspan(stream_.collect_some(data, how));
    if (auto error = drain(out, out_start)) {
      stream_.collect(data, how);
      return error;
    }
  } while (!data.empty());
  return std::nullopt;
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

std::optional<std::string> JsonStream::drain(TextList& out, size_t out_start) {
  for (size_t i = 0; i < held_texts_.size(); ++i) out.append(held_texts_[i]);
  held_texts_.clear();

  out_ = &out;
  const bool done = stream_.deliver(*this);
  out_ = nullptr;
  if (done) return std::nullopt;
  // Hold back what this push made; the stream keeps what it did not reach.
  for (size_t t = out_start; t < out.size(); ++t) held_texts_.append(out[t]);
  out.truncate(out_start);
  std::optional<std::string> error = std::move(error_);
  error_.reset();
  return error;
}

}  // namespace tvis::protocol
