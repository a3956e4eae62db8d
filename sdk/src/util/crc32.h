// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value and
// final complement 0xFFFFFFFF) over a constant 256-entry table: what firmware
// images are checked with, and what capture files use for their records.
// Long inputs (capture chunks of a megabyte) take eight bytes per step over
// seven more tables derived from the first; short ones go byte by byte.
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

// slices[k][b]: the CRC of byte b followed by k zero bytes, so that eight
// bytes fold into the CRC with eight independent look-ups.
constexpr std::array<std::array<uint32_t, 256>, 8> make_crc32_slices() {
  std::array<std::array<uint32_t, 256>, 8> slices{};
  slices[0] = kCrc32Table;
  for (size_t k = 1; k < 8; ++k)
    for (size_t b = 0; b < 256; ++b) slices[k][b] = (slices[k - 1][b] >> 8) ^ kCrc32Table[slices[k - 1][b] & 0xFF];
  return slices;
}

inline constexpr std::array<std::array<uint32_t, 256>, 8> kCrc32Slices = make_crc32_slices();

// Extends a CRC over more bytes: crc32_extend(crc32(a), b) == crc32(a + b),
// starting from crc32_extend(0, ...) for the first piece.
constexpr uint32_t crc32_extend(uint32_t crc, const uint8_t* data, size_t len) {
  crc = ~crc;
  const auto& t = kCrc32Slices;
  for (; len >= 8; data += 8, len -= 8) {
    const uint32_t low = crc ^ (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                                uint32_t{data[3]} << 24);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
  }
  for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ kCrc32Table[(crc ^ data[i]) & 0xFF];
  return ~crc;
}

namespace detail {
inline constexpr uint8_t kCrc32Check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '1', '2', '3', '4',
                                          '5', '6', '7', '8', '9', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
}
// The catalogue's check value, and a known CRC that runs through the slices
// three times: a wrong slice table fails the build.
static_assert(crc32_extend(0, detail::kCrc32Check, 9) == 0xCBF43926u);
static_assert(crc32_extend(0, detail::kCrc32Check, 27) == 0x4DDF6E59u);

constexpr uint32_t crc32(const uint8_t* data, size_t len) { return crc32_extend(0, data, len); }

inline uint32_t crc32(std::span<const uint8_t> bytes) { return crc32(bytes.data(), bytes.size()); }

// The same CRC, folded 64 bytes per step by carry-less multiplication where
// the CPU has it (capture chunks are up to a megabyte); the tables elsewhere.
uint32_t crc32_folded(const uint8_t* data, size_t len);
bool crc32_folding_supported();

}  // namespace tvis
