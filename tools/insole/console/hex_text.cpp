#include "insole/console/hex_text.h"

namespace insole {

namespace {

int digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v'; }

std::string describe(char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  if (byte >= 0x21 && byte < 0x7f) return std::string("'") + ch + "'";
  static const char* digits = "0123456789ABCDEF";
  return std::string("byte 0x") + digits[byte >> 4] + digits[byte & 15];
}

}  // namespace

std::optional<std::string> HexReader::feed(std::string_view text, std::vector<uint8_t>& out) {
  for (char ch : text) {
    ++position_;
    if (is_space(ch)) continue;
    const int value = digit_value(ch);
    if (value < 0)
      return "not hexadecimal text: " + describe(ch) + " at character " + std::to_string(position_);
    if (high_ < 0) {
      high_ = value;
    } else {
      out.push_back(static_cast<uint8_t>(high_ << 4 | value));
      high_ = -1;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view text) {
  HexReader reader;
  std::vector<uint8_t> out;
  if (reader.feed(text, out) || reader.dangling()) return std::nullopt;
  return out;
}

}  // namespace insole
