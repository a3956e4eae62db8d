#include "util/hex.h"

namespace tvis {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

void append_hex(std::string& out, std::span<const uint8_t> bytes) {
  size_t at = out.size();
  out.resize(at + bytes.size() * 2);
  for (uint8_t b : bytes) {
    out[at++] = kDigits[b >> 4];
    out[at++] = kDigits[b & 0xF];
  }
}

std::string hex_u16(uint16_t value) {
  std::string s = "0x";
  s += kDigits[(value >> 12) & 0xF];
  s += kDigits[(value >> 8) & 0xF];
  s += kDigits[(value >> 4) & 0xF];
  s += kDigits[value & 0xF];
  return s;
}

std::string hex_u8(uint8_t value) {
  return std::string{kDigits[value >> 4], kDigits[value & 0xF]};
}

}  // namespace tvis
