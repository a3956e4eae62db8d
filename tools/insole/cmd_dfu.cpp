// insole dfu: a firmware update against the simulated insole.
#include <memory>
#include <vector>

#include "commands.h"
#include "dfu_session.h"
#include "firmware_file.h"
#include "util/utf8.h"

namespace insole {

namespace {

struct Options {
  std::string path;
  std::string id = "left";
  bool mock = false;
};

int run(const Options& options) {
  if (!options.mock)
    throw UsageError("a real update needs the host's radio, which this tool does not drive; "
                     "use --mock to update the simulated insole");
  const std::string& id = options.id;
  if (id.empty() || !tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(id.data()), id.size()))
    throw UsageError("--device needs a non-empty UTF-8 id");

  const std::vector<uint8_t> image = read_firmware_file(options.path);
  return run_mock_update(id, image);
}

}  // namespace

void add_dfu(CLI::App& tool) {
  CLI::App* dfu = add_command(
      tool, "dfu", "firmware update of a file against the mock insole",
      {.usage = "insole dfu FIRMWARE --mock [--device ID]",
       .about = "Runs the SDK's update worker on the image in FIRMWARE against the\n"
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
                "without --mock the command explains that and exits with status 2.",
       .notes = "Exit status: 0 completed, 1 failed, 2 bad arguments or a FIRMWARE file\n"
                "that is not a regular, readable, non-empty file of at most 64 MiB,\n"
                "130 interrupted (the update was aborted)."});
  auto options = std::make_shared<Options>();
  add_arguments(dfu, "FIRMWARE", options->path, "the image file")->required();
  dfu->add_flag("--mock", options->mock, "replay the simulated insole's fixed exchange (required)");
  add_text(dfu, "--device", options->id, "ID", "the device id of the update (default left)");
  on_run(dfu, [options] { return run(*options); });
}

}  // namespace insole
