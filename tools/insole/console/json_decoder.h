// Bytes an insole sent to JSON lines on standard output, in the rendering of
// the Python StreamParser, with the statistics as one JSON object: what
// `insole decode` prints, shared by the commands that decode a stream.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "protocol/json_stream.h"

namespace insole {

// The tool's decoders warn of sequence gaps as the tool, not as the Python
// face whose rendering they print.
inline constexpr tvis::protocol::SequenceLog kDecodeSequenceLog{"insole::decode", "Insole SeqNum not continuous: "};

// The statistics as one JSON object, keys in the order the Python
// StreamParser.stats() gives them; `first` goes before them (a "key":value,).
std::string stats_json(const tvis::protocol::JsonStream& stream, const std::string& first = "");

class Decoder {
 public:
  // `tag`, when not empty, is put first in every line's object ("key":value,).
  Decoder(bool strict_crc, bool legacy_pressure, std::string tag = "")
      : stream_(strict_crc, legacy_pressure, kDecodeSequenceLog), tag_(std::move(tag)) {}

  // Bytes whose notification boundaries are unknown (a raw capture): the
  // parser cuts them as a receiver could have seen them.
  void push_in_pieces(std::span<const uint8_t> bytes);
  // One notification as received.
  void push(std::span<const uint8_t> bytes);

  const tvis::protocol::JsonStream& stream() const { return stream_; }

 private:
  void write_lines();
  template <class Push>
  void decode(Push push);

  tvis::protocol::JsonStream stream_;
  std::string tag_;
  std::vector<std::string> lines_;
};

}  // namespace insole
