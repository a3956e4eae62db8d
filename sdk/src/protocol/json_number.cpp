#include "protocol/json_number.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tvis::protocol {

namespace {

constexpr uint64_t kPow5[] = {1,       5,        25,        125,        625,         3125,        15625,      78125,
                              390625,  1953125,  9765625,   48828125,   244140625,   1220703125,  6103515625};
constexpr uint64_t kPow10[] = {1,          10,          100,          1000,          10000,          100000,
                               1000000,    10000000,    100000000,    1000000000,    10000000000,    100000000000,
                               1000000000000, 10000000000000, 100000000000000, 1000000000000000,
                               10000000000000000, 100000000000000000, 1000000000000000000};

// The number of digits of v, from 1 to below 10^18.
unsigned decimal_digits(uint64_t v) {
  if (v == 0) return 1;
  // 1233/4096 is just above log10(2): a first guess from the bit length,
  // one too low below each power of ten.
  const unsigned guess = (static_cast<unsigned>(std::bit_width(v)) * 1233) >> 12;
  return guess + (v >= kPow10[guess]);
}

// Writes exactly len digits of v (below 10^len, at most 8 digits, leading
// zeros included), two at a time from the end.
char* write_digits8(char* p, uint32_t v, unsigned len) {
  char* end = p + len;
  char* q = end;
  while (q - p >= 2) {
    q -= 2;
    std::memcpy(q, detail::kDigitPairs + 2 * (v % 100), 2);
    v /= 100;
  }
  if (q > p) *p = static_cast<char>('0' + v);
  return end;
}

// The same for up to 16 digits: two halves of eight, written independently
// in 32-bit arithmetic, instead of one chain of 64-bit divisions.
char* write_digits(char* p, uint64_t v, unsigned len) {
  if (len <= 8) return write_digits8(p, static_cast<uint32_t>(v), len);
  write_digits8(p, static_cast<uint32_t>(v / 100000000), len - 8);
  return write_digits8(p + (len - 8), static_cast<uint32_t>(v % 100000000), 8);
}

// Values with a small power-of-two denominator (the IMU scales are 1000/2^11
// and 1000/2^14, and so are their products with integer samples) have an
// exact decimal form: m / 2^14 with m = r * 2^k, r odd, is r * 5^(14-k)
// over 10^(14-k), so its fraction has 14 - k digits and no trailing zero.
// When the whole has at most 15 significant digits it is the shortest
// round-trip form too: distinct decimals of up to 15 digits never map to the
// same double. Writing it directly avoids the general search. Returns null
// when the value is not of this kind.
char* write_exact_dyadic(char* p, double value) {
  constexpr double kTwoTo14 = 16384.0;
  const double scaled = value * kTwoTo14;  // exact: a power of two
  if (!(std::fabs(scaled) < 9.0e15) || std::fabs(value) < 1.0e-4) return nullptr;
  const int64_t m = static_cast<int64_t>(scaled);
  if (static_cast<double>(m) != scaled || m == 0) return nullptr;
  const uint64_t mag = static_cast<uint64_t>(m < 0 ? -m : m);
  const uint64_t int_part = mag >> 14;
  const uint32_t low = static_cast<uint32_t>(mag & 16383);
  unsigned frac_digits = 0;
  uint64_t frac = 0;
  if (low != 0) {
    const unsigned k = static_cast<unsigned>(std::countr_zero(low));
    frac_digits = 14 - k;
    frac = (low >> k) * kPow5[14 - k];
  }
  const unsigned int_len = decimal_digits(int_part);  // below 2^39
  const unsigned significant = int_part != 0 ? int_len + frac_digits : decimal_digits(frac);
  if (significant > 15) return nullptr;
  if (m < 0) *p++ = '-';
  p = write_digits(p, int_part, int_len);
  *p++ = '.';
  if (frac_digits == 0) {
    *p++ = '0';
    return p;
  }
  return write_digits(p, frac, frac_digits);  // the leading zeros of the fraction with it
}

}  // namespace

char* write_double_general(char* p, double value) {
  if (!std::isfinite(value)) {  // JSON has no infinities or NaN
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  // Shortest round-trip digits, in scientific form: "-d.ddde+XX".
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* q = sci;
  if (*q == '-') {
    *p++ = '-';
    ++q;
  }
  const char* e = static_cast<const char*>(std::memchr(q, 'e', static_cast<size_t>(res.ptr - q)));
  // to_chars writes no terminator: parse the exponent within its bounds.
  int exponent = 0;
  const char* exp_begin = e + 1;
  const bool negative_exponent = *exp_begin == '-';
  if (*exp_begin == '+' || *exp_begin == '-') ++exp_begin;
  std::from_chars(exp_begin, res.ptr, exponent);
  if (negative_exponent) exponent = -exponent;
  char digits[24] = {};
  size_t n = 0;
  for (const char* d = q; d < e; ++d)
    if (*d != '.') digits[n++] = *d;

  if (exponent >= -4 && exponent <= 15) {
    if (exponent < 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < -exponent - 1; ++i) *p++ = '0';
      std::memcpy(p, digits, n);
      return p + n;
    }
    const size_t int_digits = static_cast<size_t>(exponent) + 1;
    if (n <= int_digits) {
      std::memcpy(p, digits, n);
      p += n;
      for (size_t i = n; i < int_digits; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
      return p;
    }
    std::memcpy(p, digits, int_digits);
    p += int_digits;
    *p++ = '.';
    std::memcpy(p, digits + int_digits, n - int_digits);
    return p + (n - int_digits);
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    std::memcpy(p, digits + 1, n - 1);
    p += n - 1;
  }
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  const int magnitude = std::abs(exponent);
  if (magnitude < 10) *p++ = '0';
  return std::to_chars(p, p + 8, magnitude).ptr;
}

char* write_double(char* p, double value) {
  if (char* end = write_exact_dyadic(p, value)) return end;
  if (value == 0) {  // common in sensor data (an axis at rest), and cheap to write here
    if (std::signbit(value)) *p++ = '-';
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  return write_double_general(p, value);
}

void append_double(std::string& out, double value) {
  char text[kMaxDoubleText];
  out.append(text, write_double(text, value));
}

}  // namespace tvis::protocol
