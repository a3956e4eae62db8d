// printf-style formatting into a std::string, for the tool's output lines.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace insole {

__attribute__((format(printf, 1, 2))) inline std::string strf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

}  // namespace insole
