// insole calibrate: cell resistances to newtons and shear forces.
#include <cctype>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "protocol/json_number.h"
#include "insole/console/terminal.h"
#include "insole/console/text.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

struct Options {
  uint8_t foot = TVIS_DEVICE_LEFT;
  bool json = false;
  std::vector<std::string> words;
};

UsageError not_ohms(const std::string& text) {
  return UsageError("not a resistance in ohms: '" + text + "' (expected a whole number from 0 to 4294967295)");
}

UsageError too_many(const std::string& count) {
  return UsageError("at most 48 resistances (one per channel), got " + count);
}

uint32_t parse_ohms(const std::string& text) {
  try {
    return parse_u32(text, "a resistance");
  } catch (const UsageError&) {
    throw not_ohms(text);
  }
}

// Standard input may be endless (`yes 1 | insole calibrate ...`): reading
// stops at the first word past the limit, or inside a word too long to be a
// resistance.
std::vector<std::string> read_words(std::istream& in) {
  constexpr size_t kLongestWord = 64;
  std::vector<std::string> words;
  std::string word;
  for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
    if (std::isspace(c)) {
      if (!word.empty()) words.push_back(std::exchange(word, {}));
      continue;
    }
    if (word.empty() && words.size() == TVIS_PRESSURE_CHANNELS) throw too_many("more on standard input");
    if (word.size() == kLongestWord) throw not_ohms(word + "...");
    word.push_back(static_cast<char>(c));
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::string number(double value) {
  std::string out;
  tvis::protocol::append_double(out, value);
  return out;
}

int run(const Options& options) {
  const uint8_t foot = options.foot;
  std::vector<std::string> words = options.words;
  if (words.empty()) {
    if (term::stdin_is_tty()) throw UsageError("no resistances: give them as arguments or on standard input");
    words = read_words(std::cin);
  }
  if (words.empty()) throw UsageError("no resistances given");
  if (words.size() > TVIS_PRESSURE_CHANNELS) throw too_many(std::to_string(words.size()));

  // Unused channels read 0 ohms, which calibrates to 0 N.
  std::vector<uint32_t> ohms(TVIS_PRESSURE_CHANNELS, 0);
  for (size_t i = 0; i < words.size(); ++i) ohms[i] = parse_ohms(words[i]);
  std::vector<double> newtons(TVIS_PRESSURE_CHANNELS);
  if (tvis_calibrate_pressure(ohms.data(), ohms.size(), foot, newtons.data(), newtons.size()) != 0)
    throw std::runtime_error("calibration refused its input");
  newtons.resize(words.size());
  // The shear cells are spread over the grid, so shear needs every channel.
  std::vector<TvisShearForce> shear;
  if (words.size() == TVIS_PRESSURE_CHANNELS) {
    shear.resize(TVIS_SHEAR_CHANNELS);
    if (tvis_derive_shear(ohms.data(), ohms.size(), foot, shear.data(), shear.size()) != 0)
      throw std::runtime_error("shear derivation refused its input");
  }
  const char* side = foot == TVIS_DEVICE_RIGHT ? "right" : "left";

  if (options.json) {
    std::string out = strf("{\"foot\":\"%s\",\"newtons\":[", side);
    for (size_t i = 0; i < newtons.size(); ++i) out += (i ? "," : "") + number(newtons[i]);
    out += "],\"shear\":";
    if (shear.empty()) {
      out += "null";
    } else {
      out += "[";
      for (size_t k = 0; k < shear.size(); ++k)
        out += strf("%s{\"force_x\":%s,\"force_y\":%s,\"normal_force\":%s}", k ? "," : "",
                    number(shear[k].force_x).c_str(), number(shear[k].force_y).c_str(),
                    number(shear[k].normal_force).c_str());
      out += "]";
    }
    std::printf("%s}\n", out.c_str());
    return kExitOk;
  }

  // People read rounded figures (loads are calibrated to 0.001 N); --json
  // keeps every digit of the double.
  std::printf("%s foot, newtons per channel:\n", side);
  for (size_t i = 0; i < newtons.size(); ++i)
    std::printf("  channel %2zu  %10u ohm  %9.3f N\n", i, ohms[i], newtons[i]);
  if (shear.empty()) {
    std::printf("shear forces need all 48 channels\n");
  } else {
    std::printf("shear forces, newtons:\n");
    for (size_t k = 0; k < shear.size(); ++k)
      std::printf("  sensor %zu  x %9.3f  y %9.3f  normal %9.3f\n", k, shear[k].force_x, shear[k].force_y,
                  shear[k].normal_force);
  }
  return kExitOk;
}

}  // namespace

void add_calibrate(CLI::App& tool) {
  CLI::App* calibrate = add_command(
      tool, "calibrate", "cell resistances (ohms) to newtons and shear forces",
      {.usage = "insole calibrate --foot left|right [--json] [R ...]",
       .about = "Converts cell resistances in ohms, channel 0 first, into loads in newtons\n"
                "(rounded to 0.001 N; 0 outside 1 to 999,999 ohms). With all 48 channels\n"
                "it also derives the three shear forces (x, y, normal). Without R arguments\n"
                "the resistances are read from standard input, separated by whitespace."});
  auto options = std::make_shared<Options>();
  add_arguments(calibrate, "R", options->words, "");
  add_value(calibrate, "--foot", options->foot, parse_foot, "left|right",
            "the foot of the cells (the shear cells differ per foot)")
      ->required();
  calibrate->add_flag("--json", options->json,
                      "one JSON object: foot, newtons, shear (null with fewer\nthan 48 channels)");
  on_run(calibrate, [options] { return run(*options); });
}

}  // namespace insole
