// Bytes as lowercase hex, the form the capture probes print for the Python tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>

inline std::string hex(std::span<const uint8_t> bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}
