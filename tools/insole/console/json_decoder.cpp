#include "insole/console/json_decoder.h"

#include <cstdio>

namespace insole {

std::string stats_json(const tvis::protocol::JsonStream& stream, const std::string& first) {
  const auto& s = stream.stats();
  std::string out = "{" + first;
  auto field = [&out](const char* key, uint64_t value) {
    out += '"';
    out += key;
    out += "\":";
    out += std::to_string(value);
    out += ',';
  };
  field("frames_received", s.frames_received);
  field("crc_errors", s.crc_errors);
  field("protobuf_errors", s.protobuf_errors);
  field("dropped_bytes", s.dropped_bytes);
  field("buffer_overflows", s.buffer_overflows);
  field("packets_lost", s.packets_lost);
  field("sequence_discontinuities", s.sequence_discontinuities);
  out += "\"last_seq\":" + (s.last_seq ? std::to_string(*s.last_seq) : std::string("null")) + ",";
  out += "\"buffered_bytes\":" + std::to_string(stream.buffered_len()) + "}";
  return out;
}

void Decoder::write_lines() {
  for (const auto& line : lines_) {
    if (!tag_.empty() && line.size() > 1 && line[0] == '{') {
      std::fputc('{', stdout);
      std::fwrite(tag_.data(), 1, tag_.size(), stdout);
      std::fwrite(line.data() + 1, 1, line.size() - 1, stdout);
    } else {
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::fputc('\n', stdout);
  }
  lines_.clear();
}

template <class Push>
void Decoder::decode(Push push) {
  auto error = push();
  for (;;) {
    write_lines();
    if (!error) break;
    // The frame that failed is counted; report it by its number and go on
    // with what followed it.
    std::fprintf(stderr, "insole: frame %llu: %s\n", static_cast<unsigned long long>(stream_.stats().frames_received),
                 error->c_str());
    error = stream_.push({}, lines_);
  }
}

void Decoder::push_in_pieces(std::span<const uint8_t> bytes) {
  decode([&] { return stream_.push_in_pieces(bytes, lines_); });
}

void Decoder::push(std::span<const uint8_t> bytes) {
  decode([&] { return stream_.push(bytes, lines_); });
}

}  // namespace insole
