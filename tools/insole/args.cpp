#include "args.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace insole {

namespace {

const OptionSpec* find_option(std::span<const OptionSpec> options_table, std::string_view name) {
  for (const auto& option : options_table)
    if (option.name == name) return &option;
  return nullptr;
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

template <class Int>
Int parse_int(std::string_view text, std::string_view option, std::string_view expected) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size())
    throw UsageError("invalid value " + quoted(text) + " for " + std::string(option) + " (expected " +
                     std::string(expected) + ")");
  return value;
}

}  // namespace

Args::Args(std::span<const std::string> argv, std::span<const OptionSpec> options_table) {
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") {
      positionals_.insert(positionals_.end(), argv.begin() + static_cast<std::ptrdiff_t>(i) + 1, argv.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {  // "-" alone is a positional (standard input)
      positionals_.push_back(arg);
      continue;
    }
    if (arg[1] != '-') throw UsageError("unknown option " + arg + " (options are long: --name)");
    std::string name = arg.substr(2);
    std::optional<std::string> inline_value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionSpec* option = find_option(options_table, name);
    if (option == nullptr) throw UsageError("unknown option --" + name);
    if (!option->takes_value) {
      if (inline_value) throw UsageError("option --" + name + " takes no value");
      options_.emplace_back(name, "");
    } else if (inline_value) {
      options_.emplace_back(name, *inline_value);
    } else {
      if (i + 1 >= argv.size()) throw UsageError("option --" + name + " needs a value");
      options_.emplace_back(name, argv[++i]);
    }
  }
}

bool Args::has(std::string_view name) const {
  return std::any_of(options_.begin(), options_.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> Args::value(std::string_view name) const {
  for (auto it = options_.rbegin(); it != options_.rend(); ++it)
    if (it->first == name) return it->second;
  return std::nullopt;
}

std::vector<std::string> Args::values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& [key, val] : options_)
    if (key == name) out.push_back(val);
  return out;
}

bool Args::toggle(std::string_view name, bool fallback) const {
  const std::string negated = "no-" + std::string(name);
  bool state = fallback;
  for (const auto& [key, val] : options_) {
    if (key == name) state = true;
    if (key == negated) state = false;
  }
  return state;
}

void Args::expect_positionals(size_t min, size_t max, std::string_view what) const {
  if (positionals_.size() < min) throw UsageError("missing " + std::string(what));
  if (positionals_.size() > max) throw UsageError("unexpected argument " + quoted(positionals_[max]));
}

bool wants_help(std::span<const std::string> argv) {
  for (const auto& arg : argv) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

uint32_t parse_u32(std::string_view text, std::string_view option) {
  return parse_int<uint32_t>(text, option, "a whole number from 0 to 4294967295");
}

uint64_t parse_u64(std::string_view text, std::string_view option) {
  return parse_int<uint64_t>(text, option, "a whole number from 0 to 18446744073709551615");
}

double parse_seconds(std::string_view text, std::string_view option) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value) ||
      value <= 0 || value > 86400)
    throw UsageError("invalid value " + quoted(text) + " for " + std::string(option) +
                     " (expected seconds, more than 0 and at most 86400)");
  return value;
}

uint8_t parse_foot(std::string_view text, std::string_view option) {
  if (text == "left" || text == "2") return 2;
  if (text == "right" || text == "3") return 3;
  throw UsageError("invalid value " + quoted(text) + " for " + std::string(option) + " (expected left or right)");
}

uint8_t parse_dest(std::string_view text, std::string_view option) {
  if (text == "left") return 2;
  if (text == "right") return 3;
  uint32_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || id > 255)
    throw UsageError("invalid value " + quoted(text) + " for " + std::string(option) +
                     " (expected left, right or a number from 0 to 255)");
  return static_cast<uint8_t>(id);
}

}  // namespace insole
