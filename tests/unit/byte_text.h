// Byte strings written as hex text, so test tables read like wire dumps.
#pragma once

#include <cctype>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tvis::test {

// "08 01 f2 01" -> {0x08, 0x01, 0xF2, 0x01}; spaces are ignored.
inline std::vector<uint8_t> hex_bytes(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v = nibble(c);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
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
