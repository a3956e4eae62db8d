// Option values several commands take, read from their text, and the error
// every refused argument becomes. Each parser names the option in its error
// ("invalid value 'x' for --rate (expected ...)").
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace insole {

// A fault in the arguments: the tool prints "insole: <text>" on standard
// error and exits with status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

uint32_t parse_u32(std::string_view text, std::string_view option);
uint64_t parse_u64(std::string_view text, std::string_view option);
// Seconds, a positive decimal of at most a day.
double parse_seconds(std::string_view text, std::string_view option);
// left, right, 2 or 3 -> 2 or 3.
uint8_t parse_foot(std::string_view text, std::string_view option);
// left, right or any id 0..255 -> the destination byte of a frame.
uint8_t parse_dest(std::string_view text, std::string_view option);

}  // namespace insole
