#include "protocol/crc16.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Sixteen bytes in one step.
inline uint16_t slice16(const uint8_t* data, uint16_t crc) {
  const auto& t = kSliceTables;
  uint64_t a = load_le64(data) ^ crc;
  uint64_t b = load_le64(data + 8);
  return static_cast<uint16_t>(
      t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][(a >> 24) & 0xFF] ^
      t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^ t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^
      t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^ t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^
      t[3][(b >> 32) & 0xFF] ^ t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56]);
}

#if defined(__x86_64__)

// Folding rests on two facts. A CRC with initial value I equals the CRC with
// initial value 0 of the same bytes with I XORed into the first two; and
// with initial value 0 the CRC depends only on the message polynomial modulo
// P = x^16 + x^15 + x^2 + 1 (leading zero bytes change nothing). So a 16-byte
// block R followed, d bits later, by more data can be replaced by a block
// congruent to R * x^d placed where that data starts, and XORed into it: the
// carry-less product of each half of R with x^(d+64) mod P and x^d mod P has
// at most 80 bits and fits the 128 bits of the block.
//
// The bytes are reflected: in a little-endian 128-bit load the first bit of
// the message (bit 0) is the highest power, x^127. For halves held that way
// the carry-less product comes out multiplied by x once more, so each
// constant is taken one power lower.
constexpr uint32_t xpow_mod(unsigned n) {
  uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if (r & 0x10000) r ^= 0x18005;
  }
  return r;
}

// A polynomial of degree < 16 as a reflected 64-bit operand: x^d at bit 63 - d.
constexpr uint64_t reflected(uint32_t poly) {
  uint64_t out = 0;
  for (int d = 0; d < 16; ++d)
    if (poly & (1u << d)) out |= uint64_t{1} << (63 - d);
  return out;
}

// Constants to move a block d bits on: low half for the block's first eight
// bytes, high half for its last eight.
struct FoldConstants {
  uint64_t first, second;
};
constexpr FoldConstants fold_by(unsigned d) { return {reflected(xpow_mod(d + 63)), reflected(xpow_mod(d - 1))}; }

constexpr FoldConstants kFold512 = fold_by(512);
constexpr FoldConstants kFold384 = fold_by(384);
constexpr FoldConstants kFold256 = fold_by(256);
constexpr FoldConstants kFold128 = fold_by(128);

// For a tail of t bytes (1 to 15): moves the last block t bytes on.
constexpr std::array<FoldConstants, 16> make_tail_folds() {
  std::array<FoldConstants, 16> k{};
  for (unsigned t = 1; t < 16; ++t) k[t] = fold_by(8 * t);
  return k;
}
constexpr auto kTailFolds = make_tail_folds();

// Sixteen zero bytes, then sixteen 0xFF: loaded from offset t, the mask that
// keeps the last t bytes of a block.
constexpr std::array<uint8_t, 32> make_tail_masks() {
  std::array<uint8_t, 32> m{};
  for (int i = 16; i < 32; ++i) m[i] = 0xFF;
  return m;
}
constexpr auto kTailMasks = make_tail_masks();

[[gnu::target("pclmul")]] inline __m128i constants(FoldConstants k) {
  return _mm_set_epi64x(static_cast<long long>(k.second), static_cast<long long>(k.first));
}

[[gnu::target("pclmul")]] inline __m128i fold(__m128i r, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(r, k, 0x00), _mm_clmulepi64_si128(r, k, 0x11));
}

[[gnu::target("pclmul")]] inline __m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

#endif

using Crc16Fn = uint16_t (*)(const uint8_t*, size_t, uint16_t);

Crc16Fn pick() { return crc16_folding_supported() ? crc16_modbus_folded : crc16_modbus_sliced; }

// Until the choice is made (a caller running before this file's
// initialiser), the first call makes it.
uint16_t resolve_and_call(const uint8_t* data, size_t len, uint16_t crc);
std::atomic<Crc16Fn> g_crc16{resolve_and_call};

uint16_t resolve_and_call(const uint8_t* data, size_t len, uint16_t crc) {
  const Crc16Fn fn = pick();
  g_crc16.store(fn, std::memory_order_relaxed);
  return fn(data, len, crc);
}

[[maybe_unused]] const bool g_chosen_at_load = (g_crc16.store(pick(), std::memory_order_relaxed), true);

}  // namespace

bool crc16_folding_supported() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul");
#else
  return false;
#endif
}

uint16_t crc16_modbus_sliced(const uint8_t* data, size_t len, uint16_t crc) {
  while (len >= 16) {
    crc = slice16(data, crc);
    data += 16;
    len -= 16;
  }
  return crc16_modbus_bytewise(data, len, crc);
}

#if defined(__x86_64__)

[[gnu::target("pclmul")]] uint16_t crc16_modbus_folded(const uint8_t* data, size_t len, uint16_t crc) {
  if (len < 32) return crc16_modbus_sliced(data, len, crc);
  const __m128i init = _mm_cvtsi32_si128(crc);
  __m128i r;
  if (len >= 128) {
    // Four blocks in flight hide the multiplier's latency.
    __m128i r0 = _mm_xor_si128(load(data), init), r1 = load(data + 16), r2 = load(data + 32), r3 = load(data + 48);
    data += 64;
    len -= 64;
    const __m128i k512 = constants(kFold512);
    while (len >= 64) {
      r0 = _mm_xor_si128(fold(r0, k512), load(data));
      r1 = _mm_xor_si128(fold(r1, k512), load(data + 16));
      r2 = _mm_xor_si128(fold(r2, k512), load(data + 32));
      r3 = _mm_xor_si128(fold(r3, k512), load(data + 48));
      data += 64;
      len -= 64;
    }
    r = _mm_xor_si128(_mm_xor_si128(fold(r0, constants(kFold384)), fold(r1, constants(kFold256))),
                      _mm_xor_si128(fold(r2, constants(kFold128)), r3));
  } else {
    r = _mm_xor_si128(load(data), init);
    data += 16;
    len -= 16;
  }
  const __m128i k128 = constants(kFold128);
  while (len >= 16) {
    r = _mm_xor_si128(fold(r, k128), load(data));
    data += 16;
    len -= 16;
  }
  if (len > 0) {
    // The tail goes in as the last bytes of a block that ends where the data
    // ends (the bytes before it are masked off); the block before it moves on
    // by the tail's length. A table step per tail byte would cost more than
    // the whole fold of a frame.
    const __m128i tail = _mm_and_si128(load(data + len - 16), load(kTailMasks.data() + len));
    r = _mm_xor_si128(fold(r, constants(kTailFolds[len])), tail);
  }
  // The folded block stands for all the data; its CRC is the CRC.
  alignas(16) uint8_t block[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(block), r);
  return slice16(block, 0);
}

#else

uint16_t crc16_modbus_folded(const uint8_t* data, size_t len, uint16_t crc) { return crc16_modbus_sliced(data, len, crc); }

#endif

uint16_t crc16_modbus(const uint8_t* data, size_t len, uint16_t crc) {
  return g_crc16.load(std::memory_order_relaxed)(data, len, crc);
}

}  // namespace tvis::protocol
