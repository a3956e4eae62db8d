// insole foot-side: which foot an advertisement's manufacturer payload names.
#include <cstdio>

#include "args.h"
#include "commands.h"
#include "hex_text.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

int run(std::span<const std::string> argv) {
  const Args args(argv, {});
  args.expect_positionals(1, 1, "HEX payload");
  const std::string& text = args.positionals()[0];
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

const Command kFootSideCommand{
    "foot-side",
    "left or right from an advertisement's manufacturer payload",
    "usage: insole foot-side HEX\n"
    "\n"
    "Reads the foot side from the manufacturer data of an insole's\n"
    "advertisement, given as hex: the bytes after the company id. Prints right\n"
    "when the first byte is 03, left for any other first byte, and unknown for\n"
    "an empty payload.\n"
    "\n"
    "options:\n"
    "  -h, --help    this text\n",
    run,
};

}  // namespace insole
