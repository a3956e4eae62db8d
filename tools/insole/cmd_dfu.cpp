// insole dfu: a firmware update against the simulated insole.
#include <vector>

#include "args.h"
#include "commands.h"
#include "dfu_session.h"
#include "firmware_file.h"
#include "util/utf8.h"

namespace insole {

namespace {

constexpr OptionSpec kOptions[] = {{"mock", false}, {"device", true}};

int run(std::span<const std::string> argv) {
  const Args args(argv, kOptions);
  args.expect_positionals(1, 1, "FIRMWARE image file");
  if (!args.has("mock"))
    throw UsageError("a real update needs the host's radio, which this tool does not drive; "
                     "use --mock to update the simulated insole");
  const std::string id = args.value("device").value_or("left");
  if (id.empty() || !tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(id.data()), id.size()))
    throw UsageError("--device needs a non-empty UTF-8 id");

  const std::vector<uint8_t> image = read_firmware_file(args.positionals()[0]);
  return run_mock_update(id, image);
}

}  // namespace

const Command kDfuCommand{
    "dfu",
    "firmware update of a file against the mock insole",
    "usage: insole dfu FIRMWARE --mock [--device ID]\n"
    "\n"
    "Runs the SDK's update worker on the image in FIRMWARE against the\n"
    "simulated insole, with a progress bar on a terminal (plain lines per stage\n"
    "otherwise). Ctrl-C aborts the update.\n"
    "\n"
    "--mock replays a fixed 10,240-byte exchange (about 8 seconds): the\n"
    "simulated insole asks for the offsets 0 to 10,240 in 512-byte steps, then\n"
    "verifies and reboots, whatever FIRMWARE holds. It never reads the image\n"
    "nor checks its size or CRC, so \"completed\" says nothing about the file;\n"
    "it shows how a host drives an update.\n"
    "\n"
    "A real insole is updated by the host application that owns the radio, so\n"
    "without --mock the command explains that and exits with status 2.\n"
    "\n"
    "options:\n"
    "  --mock        replay the simulated insole's fixed exchange (required)\n"
    "  --device ID   the device id of the update (default left)\n"
    "  -h, --help    this text\n"
    "\n"
    "Exit status: 0 completed, 1 failed, 2 bad arguments or a FIRMWARE file\n"
    "that is not a regular, readable, non-empty file of at most 64 MiB,\n"
    "130 interrupted (the update was aborted).\n",
    run,
};

}  // namespace insole
