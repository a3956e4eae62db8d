// Upper-case hexadecimal text, as the log lines and error texts write it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tvis {

// Appends every byte as two upper-case hex digits, no separators.
void append_hex(std::string& out, std::span<const uint8_t> bytes);

// "0x" and exactly four upper-case hex digits, e.g. 0x4B37 or 0x00FF.
std::string hex_u16(uint16_t value);

// Two upper-case hex digits.
std::string hex_u8(uint8_t value);

}  // namespace tvis
