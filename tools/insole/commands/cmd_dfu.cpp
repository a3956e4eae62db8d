// insole dfu: a firmware update of a file against a virtual insole.
#include <memory>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/dfu/dfu_session.h"
#include "insole/dfu/firmware_file.h"
#include "util/utf8.h"

namespace insole {

namespace {

struct Options {
  std::string path;
  std::string id = "left";
  bool mock = false;
};

int run(const Options& options) {
  const std::string& id = options.id;
  if (id.empty() || !tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(id.data()), id.size()))
    throw UsageError("--device needs a non-empty UTF-8 id");

  const std::vector<uint8_t> image = read_firmware_file(options.path);
  return run_update(id, image, options.mock ? Peer::Mock : Peer::Virtual);
}

}  // namespace

void add_dfu(CLI::App& tool) {
  CLI::App* dfu = add_command(
      tool, "dfu", "firmware update of a file against a virtual insole",
      {.usage = "insole dfu FIRMWARE [--mock] [--device ID]",
       .about = "Runs the SDK's update worker on the image in FIRMWARE against a virtual\n"
                "insole in this process, with a progress bar on a terminal (plain lines per\n"
                "stage otherwise). Ctrl-C aborts the update.\n"
                "\n"
                "The virtual insole plays the device side for real: it asks for the image\n"
                "chunk by chunk, checks each chunk's CRC-32, verifies the whole image's size\n"
                "and CRC-32, then reboots into a firmware version derived from the image\n"
                "(\"sim-\" and the image's CRC-32 in hex), which the command prints.\n"
                "\n"
                "--mock replays a fixed 10,240-byte exchange (about 8 seconds): the\n"
                "simulated insole asks for the offsets 0 to 10,240 in 512-byte steps, then\n"
                "verifies and reboots, whatever FIRMWARE holds. It never reads the image\n"
                "nor checks its size or CRC, so \"completed\" says nothing about the file;\n"
                "it shows how a host drives an update.\n"
                "\n"
                "A real insole is updated by the host application that owns the radio.",
       .notes = "Exit status: 0 completed, 1 failed, 2 bad arguments or a FIRMWARE file\n"
                "that is not a regular, readable, non-empty file of at most 64 MiB,\n"
                "130 interrupted (the update was aborted)."});
  auto options = std::make_shared<Options>();
  add_arguments(dfu, "FIRMWARE", options->path, "the image file")->required();
  dfu->add_flag("--mock", options->mock, "replay the mock update's fixed exchange instead");
  add_text(dfu, "--device", options->id, "ID", "the device id of the update (default left)");
  on_run(dfu, [options] { return run(*options); });
}

}  // namespace insole
