// CRC-32 over long inputs by carry-less multiplication: four 16-byte lanes
// fold 64 bytes per step, then one lane, then a Barrett reduction to 32 bits.
// The constants are powers of x modulo the polynomial, bit-reflected. Inputs
// shorter than a step, and the tail, go through the sliced tables.
#include "util/crc32.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tvis {

#if defined(__x86_64__)

namespace {

[[gnu::target("pclmul,sse4.1")]] inline __m128i load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x's two halves times the two constants of k, added to the next lane.
[[gnu::target("pclmul,sse4.1")]] inline __m128i step(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

[[gnu::target("pclmul,sse4.1")]] uint32_t fold(const uint8_t* p, size_t len, uint32_t state) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // x^(4*128+32), x^(4*128-32)
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);  // x^(128+32), x^(128-32)
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);                // x^64
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);   // mu, P
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  len -= 64;
  for (; len >= 64; p += 64, len -= 64) {
    x1 = step(x1, k1k2, load(p));
    x2 = step(x2, k1k2, load(p + 16));
    x3 = step(x3, k1k2, load(p + 32));
    x4 = step(x4, k1k2, load(p + 48));
  }
  x1 = step(x1, k3k4, x2);
  x1 = step(x1, k3k4, x3);
  x1 = step(x1, k3k4, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = step(x1, k3k4, load(p));

  // 128 bits to 64, then to 32 with a Barrett reduction.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(t, poly, 0x00));
  const uint32_t folded = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
  return ~crc32_extend(~folded, p, len);  // the tail, under 16 bytes
}

}  // namespace

bool crc32_folding_supported() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return supported;
}

uint32_t crc32_folded(const uint8_t* data, size_t len) {
  if (len < 64 || !crc32_folding_supported()) return crc32(data, len);
  return ~fold(data, len, 0xFFFFFFFFu);
}

#else

bool crc32_folding_supported() { return false; }

uint32_t crc32_folded(const uint8_t* data, size_t len) { return crc32(data, len); }

#endif

}  // namespace tvis
