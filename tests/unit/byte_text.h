// Byte strings written as hex text, so test tables read like wire dumps.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tvis::test {

// "08 01 f2 01" -> {0x08, 0x01, 0xF2, 0x01}; spaces between bytes are ignored.
inline std::vector<uint8_t> hex_bytes(std::string_view text) {
  std::vector<uint8_t> out;
  for (const char* p = text.data(); p < text.data() + text.size(); p += *p == ' ' ? 1 : 2) {
    if (*p == ' ') continue;
    if (std::from_chars(p, std::min(p + 2, text.data() + text.size()), out.emplace_back(), 16).ptr != p + 2)
      throw std::invalid_argument("bad hex text: " + std::string(text));
  }
  return out;
}

// Upper-case hex, space separated, for readable failure messages.
inline std::string hex_text(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::span<const uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace tvis::test
