// Numbers as JSON text, written the way Python writes a float (repr): the
// shortest digits that read back as the same double, in fixed notation for
// decimal exponents -4 to 15 (with at least one digit after the point) and in
// scientific notation otherwise (1e+16, 1.5e-05). Infinities and NaN are
// written as null.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tvis::protocol {

namespace detail {
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}

// Writes v in decimal at p, which must have 10 bytes of room (4 more than the
// text needs may be overwritten), and returns the end of the text. Sensor
// readings are mostly below 10,000: those are written without a branch on
// their length, which varies from value to value.
inline char* write_uint32(char* p, uint32_t v) {
  if (v >= 10000) return std::to_chars(p, p + 10, v).ptr;
  uint16_t high_pair, low_pair;
  std::memcpy(&high_pair, detail::kDigitPairs + 2 * (v / 100), 2);
  std::memcpy(&low_pair, detail::kDigitPairs + 2 * (v % 100), 2);
  const unsigned len = 1 + (v >= 10) + (v >= 100) + (v >= 1000);
  // The four digits with the first in the low byte (little-endian hosts);
  // the leading zeros are shifted out.
  const uint32_t digits = (high_pair | (static_cast<uint32_t>(low_pair) << 16)) >> (8 * (4 - len));
  std::memcpy(p, &digits, 4);
  return p + len;
}

// The same with a sign; 11 bytes of room.
inline char* write_int32(char* p, int32_t v) {
  if (v >= 0) return write_uint32(p, static_cast<uint32_t>(v));
  *p = '-';
  return write_uint32(p + 1, 0u - static_cast<uint32_t>(v));
}

// The longest text write_double produces is 24 characters.
inline constexpr size_t kMaxDoubleText = 32;

// Writes the text at p, which must have kMaxDoubleText bytes of room, and
// returns the end of it.
char* write_double(char* p, double value);

void append_double(std::string& out, double value);

// The same text through the general route alone (shortest digits from
// std::to_chars), which the direct route taken for values with a small
// power-of-two denominator must match.
char* write_double_general(char* p, double value);

}  // namespace tvis::protocol
