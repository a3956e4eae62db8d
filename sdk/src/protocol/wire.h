// proto3 wire primitives: varints, keys and wire types.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// A varint read: the position after it and its value; next is null when
// the varint is malformed or truncated.
struct VarintRead {
  const uint8_t* next;
  uint64_t value;
};

// Reads a varint of at most ten bytes; the tenth may only be 0 or 1. One
// byte at a time, for the last bytes of the input, where a word cannot be
// loaded. Returns by value so that the hot loops inlining read_varint never
// hand out the address of their cursor and can keep it in a register.
[[gnu::noinline]] inline VarintRead read_varint_slow(const uint8_t* p, const uint8_t* end) {
  uint64_t value = 0;
  for (int i = 0; i < 10; ++i) {
    if (p == end) return {nullptr, 0};
    uint8_t b = *p++;
    if (i == 9) {
      if (b > 1) return {nullptr, 0};
      return {p, value | (static_cast<uint64_t>(b) << 63)};
    }
    value |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (b < 0x80) return {p, value};
  }
  return {nullptr, 0};
}

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // x86-64 and aarch64 hosts are little-endian
}

// The 7-bit groups of up to eight bytes of a little-endian word, packed
// together: the value of the varint the word holds, continuation bits gone.
inline uint64_t pack_groups(uint64_t w) {
  w &= 0x7F7F7F7F7F7F7F7FULL;
  w = (w & 0x007F007F007F007FULL) | ((w & 0x7F007F007F007F00ULL) >> 1);
  w = (w & 0x00003FFF00003FFFULL) | ((w & 0x3FFF00003FFF0000ULL) >> 2);
  return (w & 0x000000000FFFFFFFULL) | ((w & 0x0FFFFFFF00000000ULL) >> 4);
}

// Three bytes and more, with at least ten bytes readable and the first eight
// in w: values above 16383, and every negative int32, which travels as ten
// bytes.
[[gnu::always_inline]] inline bool read_varint_long(const uint8_t*& p, uint64_t w, uint64_t& out) {
  const uint64_t stops = ~w & 0x8080808080808080ULL;
  if (stops != 0) {
    out = pack_groups(w & (stops ^ (stops - 1)));  // the bytes through the first stop
    p += (std::countr_zero(stops) + 1) >> 3;
    return true;
  }
  const uint64_t value = pack_groups(w) | (static_cast<uint64_t>(p[8] & 0x7F) << 56);
  if (p[8] < 0x80) {
    out = value;
    p += 9;
    return true;
  }
  if (p[9] > 1) return false;
  out = value | (static_cast<uint64_t>(p[9]) << 63);
  p += 10;
  return true;
}

// Branches on the length on purpose: where a field's length repeats (keys,
// most scalars) the prediction lets the next read start before this one's
// bytes have arrived, which no computed length allows.
[[gnu::always_inline]] inline bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t& out) {
  if (end - p >= 10) [[likely]] {
    const uint64_t w = load_le64(p);
    if (!(w & 0x80)) {
      out = w & 0x7F;
      p += 1;
      return true;
    }
    if (!(w & 0x8000)) {
      out = (w & 0x7F) | ((w >> 1) & 0x3F80);
      p += 2;
      return true;
    }
    return read_varint_long(p, w, out);
  }
  const VarintRead r = read_varint_slow(p, end);
  if (!r.next) return false;
  p = r.next;
  out = r.value;
  return true;
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
