// The tool's small option parser: long options (--name, --name=value,
// --name value), -h as --help, "--" ending the options, everything else a
// positional argument. Every refusal is a UsageError whose text is the one
// line the user sees after "insole: ".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace insole {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string_view name;  // without the leading dashes
  bool takes_value = false;
};

class Args {
 public:
  Args(std::span<const std::string> argv, std::span<const OptionSpec> options_table);

  bool has(std::string_view name) const;
  // The last value given for the option.
  std::optional<std::string> value(std::string_view name) const;
  std::vector<std::string> values(std::string_view name) const;
  // A --name / --no-name pair: the last of the two given wins.
  bool toggle(std::string_view name, bool fallback) const;
  // The options given, in order, for checks of which ones apply.
  const std::vector<std::pair<std::string, std::string>>& given() const { return options_; }

  const std::vector<std::string>& positionals() const { return positionals_; }
  // Refuses fewer than min or more than max positionals; what names them.
  void expect_positionals(size_t min, size_t max, std::string_view what) const;

 private:
  std::vector<std::pair<std::string, std::string>> options_;
  std::vector<std::string> positionals_;
};

// True when --help or -h appears before a "--".
bool wants_help(std::span<const std::string> argv);

// Value parsers; option names the option for the error text ("--rate").
uint32_t parse_u32(std::string_view text, std::string_view option);
uint64_t parse_u64(std::string_view text, std::string_view option);
// Seconds, a positive decimal of at most a day.
double parse_seconds(std::string_view text, std::string_view option);
// left, right, 2 or 3 -> 2 or 3.
uint8_t parse_foot(std::string_view text, std::string_view option);
// left, right or any id 0..255 -> the destination byte of a frame.
uint8_t parse_dest(std::string_view text, std::string_view option);

}  // namespace insole
