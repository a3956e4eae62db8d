// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value and
// final complement 0xFFFFFFFF) over a constant 256-entry table: what firmware
// images are checked with, and what capture files use for their records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tvis {

constexpr std::array<uint32_t, 256> make_crc32_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    table[i] = crc;
  }
  return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = make_crc32_table();

// Extends a CRC over more bytes: crc32_extend(crc32(a), b) == crc32(a + b),
// starting from crc32_extend(0, ...) for the first piece.
constexpr uint32_t crc32_extend(uint32_t crc, const uint8_t* data, size_t len) {
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ kCrc32Table[(crc ^ data[i]) & 0xFF];
  return ~crc;
}

constexpr uint32_t crc32(const uint8_t* data, size_t len) { return crc32_extend(0, data, len); }

inline uint32_t crc32(std::span<const uint8_t> bytes) { return crc32(bytes.data(), bytes.size()); }

}  // namespace tvis
