// proto3 wire primitives: varints, keys and wire types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tvis::protocol::wire {

enum WireType : uint32_t {
  Varint = 0,
  SixtyFourBit = 1,
  LengthDelimited = 2,
  StartGroup = 3,
  EndGroup = 4,
  ThirtyTwoBit = 5,
};

inline constexpr std::string_view wire_type_name(uint32_t wt) {
  constexpr std::string_view names[] = {"Varint",     "SixtyFourBit", "LengthDelimited",
                                        "StartGroup", "EndGroup",     "ThirtyTwoBit"};
  return wt < 6 ? names[wt] : std::string_view{};
}

// Reads a varint of at most ten bytes; the tenth may only be 0 or 1. Returns
// false for a malformed or truncated varint. Out of line: values of three
// bytes and more are the exception, and the caller's loop stays small.
[[gnu::noinline]] inline bool read_varint_slow(const uint8_t*& p, const uint8_t* end, uint64_t& out) {
  uint64_t value = 0;
  for (int i = 0; i < 10; ++i) {
    if (p == end) return false;
    uint8_t b = *p++;
    if (i == 9) {
      if (b > 1) return false;
      out = value | (static_cast<uint64_t>(b) << 63);
      return true;
    }
    value |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (b < 0x80) {
      out = value;
      return true;
    }
  }
  return false;
}

// One- and two-byte values (most keys, lengths and sensor readings) are
// read in place.
[[gnu::always_inline]] inline bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t& out) {
  if (p != end && *p < 0x80) {
    out = *p++;
    return true;
  }
  if (end - p >= 2 && p[1] < 0x80) {
    out = (p[0] & 0x7Fu) | (static_cast<uint64_t>(p[1]) << 7);
    p += 2;
    return true;
  }
  return read_varint_slow(p, end, out);
}

constexpr size_t varint_len(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

inline uint8_t* write_varint(uint8_t* p, uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<uint8_t>(v);
  return p;
}

constexpr uint64_t make_key(uint32_t number, WireType wt) { return (static_cast<uint64_t>(number) << 3) | wt; }

// int32 and enumerations travel sign-extended to 64 bits.
constexpr uint64_t int32_wire(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

}  // namespace tvis::protocol::wire
