#include "protocol/json_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tvis::protocol {

namespace {

// Values with a small power-of-two denominator (the IMU scales are 1000/2^11
// and 1000/2^14, and so are their products with integer samples) have an
// exact decimal form. When it has at most 15 significant digits it is the
// shortest round-trip form too: distinct decimals of up to 15 digits never
// map to the same double. Writing it directly avoids the general search.
bool append_exact_dyadic(std::string& out, double value) {
  constexpr double kTwoTo14 = 16384.0;
  constexpr uint64_t kFiveTo14 = 6103515625ULL;
  constexpr uint64_t kTenTo14 = 100000000000000ULL;
  const double scaled = value * kTwoTo14;  // exact: a power of two
  if (!(std::fabs(scaled) < 1.0e9) || std::fabs(value) < 1.0e-4) return false;
  const int64_t m = static_cast<int64_t>(scaled);
  if (static_cast<double>(m) != scaled || m == 0) return false;
  const uint64_t mag = static_cast<uint64_t>(m < 0 ? -m : m) * kFiveTo14;  // |value| * 10^14
  const uint64_t int_part = mag / kTenTo14;
  uint64_t frac = mag % kTenTo14;
  int frac_digits = 14;
  while (frac_digits > 0 && frac % 10 == 0) {
    frac /= 10;
    --frac_digits;
  }
  char int_text[24];
  char* int_end = std::to_chars(int_text, int_text + sizeof int_text, int_part).ptr;
  int significant = frac_digits;
  if (int_part != 0) {
    significant += static_cast<int>(int_end - int_text);
  } else {
    // Leading zeros of the fraction do not count: the digits of frac itself do.
    char frac_text[24];
    significant = static_cast<int>(std::to_chars(frac_text, frac_text + sizeof frac_text, frac).ptr - frac_text);
  }
  if (significant > 15) return false;
  if (m < 0) out += '-';
  out.append(int_text, int_end);
  out += '.';
  if (frac_digits == 0) {
    out += '0';
  } else {
    char frac_text[24];
    char* frac_end = std::to_chars(frac_text, frac_text + sizeof frac_text, frac).ptr;
    out.append(static_cast<size_t>(frac_digits - (frac_end - frac_text)), '0');
    out.append(frac_text, frac_end);
  }
  return true;
}

}  // namespace

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {  // JSON has no infinities or NaN
    out += "null";
    return;
  }
  if (append_exact_dyadic(out, value)) return;
  // Shortest round-trip digits, in scientific form: "-d.ddde+XX".
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  const char* e = static_cast<const char*>(std::memchr(p, 'e', static_cast<size_t>(res.ptr - p)));
  // to_chars writes no terminator: parse the exponent within its bounds.
  int exponent = 0;
  const char* exp_begin = e + 1;
  const bool negative_exponent = *exp_begin == '-';
  if (*exp_begin == '+' || *exp_begin == '-') ++exp_begin;
  std::from_chars(exp_begin, res.ptr, exponent);
  if (negative_exponent) exponent = -exponent;
  char digits[24];
  size_t n = 0;
  for (const char* q = p; q < e; ++q)
    if (*q != '.') digits[n++] = *q;

  if (exponent >= -4 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out.append(digits, n);
    } else {
      const size_t int_digits = static_cast<size_t>(exponent) + 1;
      if (n <= int_digits) {
        out.append(digits, n);
        out.append(int_digits - n, '0');
        out += ".0";
      } else {
        out.append(digits, int_digits);
        out += '.';
        out.append(digits + int_digits, n - int_digits);
      }
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits + 1, n - 1);
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  const int magnitude = std::abs(exponent);
  if (magnitude < 10) out += '0';
  char exp_text[8];
  auto er = std::to_chars(exp_text, exp_text + sizeof exp_text, magnitude);
  out.append(exp_text, er.ptr);
}

}  // namespace tvis::protocol
