// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final
// XOR. The 256-entry table is the reference; the faster paths give identical
// results: sixteen bytes per step over tables derived from it, and, where the
// CPU multiplies carry-less, folding 64 bytes per step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tvis::protocol {

inline constexpr uint16_t kCrc16Init = 0xFFFF;

constexpr std::array<uint16_t, 256> make_crc16_table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    table[i] = crc;
  }
  return table;
}

inline constexpr std::array<uint16_t, 256> kCrc16Table = make_crc16_table();
static_assert(kCrc16Table[1] == 0xC0C1 && kCrc16Table[128] == 0xA001);

// One table step per byte: the definition every faster path must match.
constexpr uint16_t crc16_modbus_bytewise(const uint8_t* data, size_t len, uint16_t crc = kCrc16Init) {
  for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ data[i]) & 0xFF]);
  return crc;
}

// The fastest path this CPU offers, chosen once when the library loads.
uint16_t crc16_modbus(const uint8_t* data, size_t len, uint16_t crc = kCrc16Init);

inline uint16_t crc16_modbus(std::span<const uint8_t> bytes) {
  return crc16_modbus(bytes.data(), bytes.size());
}

// The candidates, callable one by one so each can be checked against the
// table. The folding path may only be called when crc16_folding_supported().
uint16_t crc16_modbus_sliced(const uint8_t* data, size_t len, uint16_t crc = kCrc16Init);
uint16_t crc16_modbus_folded(const uint8_t* data, size_t len, uint16_t crc = kCrc16Init);
bool crc16_folding_supported();

}  // namespace tvis::protocol
