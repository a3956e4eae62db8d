#include "protocol/crc16.h"

#include <cstring>

namespace tvis::protocol {

namespace {

constexpr int kSlices = 16;

// Table k maps a byte to the CRC of that byte followed by k zero bytes, so
// sixteen input bytes can be folded in at once with sixteen lookups.
constexpr std::array<std::array<uint16_t, 256>, kSlices> make_slice_tables() {
  std::array<std::array<uint16_t, 256>, kSlices> t{};
  t[0] = kCrc16Table;
  for (int k = 1; k < kSlices; ++k) {
    for (int i = 0; i < 256; ++i) {
      uint16_t prev = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((prev >> 8) ^ kCrc16Table[prev & 0xFF]);
    }
  }
  return t;
}

constexpr auto kSliceTables = make_slice_tables();

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // x86-64 and aarch64 hosts are little-endian
}

}  // namespace

uint16_t crc16_modbus(const uint8_t* data, size_t len, uint16_t crc) {
  const auto& t = kSliceTables;
  while (len >= 16) {
    uint64_t a = load_le64(data) ^ crc;
    uint64_t b = load_le64(data + 8);
    crc = static_cast<uint16_t>(
        t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][(a >> 24) & 0xFF] ^
        t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^ t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^
        t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^ t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^
        t[3][(b >> 32) & 0xFF] ^ t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56]);
    data += 16;
    len -= 16;
  }
  return crc16_modbus_bytewise(data, len, crc);
}

}  // namespace tvis::protocol
