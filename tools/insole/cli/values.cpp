#include "insole/cli/values.h"

#include <charconv>
#include <cmath>
#include <string>

namespace insole {

namespace {

UsageError invalid(std::string_view text, std::string_view option, std::string_view expected) {
  return UsageError("invalid value '" + std::string(text) + "' for " + std::string(option) + " (expected " +
                    std::string(expected) + ")");
}

template <class Number>
bool read_whole(std::string_view text, Number& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

uint32_t parse_u32(std::string_view text, std::string_view option) {
  uint32_t value = 0;
  if (!read_whole(text, value)) throw invalid(text, option, "a whole number from 0 to 4294967295");
  return value;
}

uint64_t parse_u64(std::string_view text, std::string_view option) {
  uint64_t value = 0;
  if (!read_whole(text, value)) throw invalid(text, option, "a whole number from 0 to 18446744073709551615");
  return value;
}

double parse_seconds(std::string_view text, std::string_view option) {
  double value = 0;
  if (!read_whole(text, value) || !std::isfinite(value) || value <= 0 || value > 86400)
    throw invalid(text, option, "seconds, more than 0 and at most 86400");
  return value;
}

uint8_t parse_foot(std::string_view text, std::string_view option) {
  if (text == "left" || text == "2") return 2;
  if (text == "right" || text == "3") return 3;
  throw invalid(text, option, "left or right");
}

uint8_t parse_dest(std::string_view text, std::string_view option) {
  if (text == "left") return 2;
  if (text == "right") return 3;
  uint32_t id = 0;
  if (!read_whole(text, id) || id > 255) throw invalid(text, option, "left, right or a number from 0 to 255");
  return static_cast<uint8_t>(id);
}

}  // namespace insole
