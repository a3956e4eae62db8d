// insole foot-side: which foot an advertisement's manufacturer payload names.
#include <cstdio>
#include <memory>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/hex_text.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

int run(const std::string& text) {
  const auto payload = parse_hex(text);
  if (!payload) throw UsageError("not a hex payload: '" + text + "'");
  switch (tvis_parse_foot_side(payload->data(), payload->size())) {
    case TVIS_DEVICE_LEFT: std::printf("left\n"); break;
    case TVIS_DEVICE_RIGHT: std::printf("right\n"); break;
    default: std::printf("unknown\n"); break;
  }
  return kExitOk;
}

}  // namespace

void add_foot_side(CLI::App& tool) {
  CLI::App* foot_side = add_command(
      tool, "foot-side", "left or right from an advertisement's manufacturer payload",
      {.usage = "insole foot-side HEX",
       .about = "Reads the foot side from the manufacturer data of an insole's\n"
                "advertisement, given as hex: the bytes after the company id. Prints right\n"
                "when the first byte is 03, left for any other first byte, and unknown for\n"
                "an empty payload."});
  auto payload = std::make_shared<std::string>();
  add_arguments(foot_side, "HEX", *payload, "the payload as hex digits")->required();
  on_run(foot_side, [payload] { return run(*payload); });
}

}  // namespace insole
