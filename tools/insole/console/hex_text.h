// Hexadecimal text to bytes, fed in pieces of any size: whitespace between
// digits is ignored and a digit pair may span two pieces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace insole {

class HexReader {
 public:
  // Appends the bytes of text to out. On a character that is neither a hex
  // digit nor whitespace, returns the error text and stops there.
  std::optional<std::string> feed(std::string_view text, std::vector<uint8_t>& out);
  // True when a digit is still waiting for its pair.
  bool dangling() const { return high_ >= 0; }
  uint64_t position() const { return position_; }

 private:
  int high_ = -1;
  uint64_t position_ = 0;  // characters read so far, for error texts
};

// Whole-text form; absent when the text is not hex or has an odd digit count.
std::optional<std::vector<uint8_t>> parse_hex(std::string_view text);

}  // namespace insole
