#include "protocol/json_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tvis::protocol {

void append_double(std::string& out, double value) {
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
