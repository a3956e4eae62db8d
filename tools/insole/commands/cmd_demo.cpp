// insole demo: a left and a right mock insole streaming through the receive
// path, then a firmware update of the left one against the mock insole.
#include <cstdio>
#include <memory>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/dfu/dfu_session.h"
#include "insole/console/live_stream.h"
#include "insole/console/terminal.h"

namespace insole {

namespace {

constexpr double kDefaultSeconds = 4;
// The mock insole's timetable asks for exactly this many bytes.
constexpr size_t kDemoImageSize = 10240;

std::vector<uint8_t> demo_image() {
  // Any bytes will do; a fixed generator keeps the CRC the same run to run.
  std::vector<uint8_t> image(kDemoImageSize);
  uint32_t x = 0x1234567u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

int run(double seconds) {
  const int status = run_live_streams({"left", "right"}, seconds, "insole demo: two mock insoles");
  if (status != kExitOk) return status;
  std::printf("\n");
  return run_update("left", demo_image(), Peer::Mock, "the demo's generated image");
}

}  // namespace

void add_demo(CLI::App& tool) {
  CLI::App* demo = add_command(
      tool, "demo", "two mock insoles streaming live, then a mock firmware update",
      {.usage = "insole demo [--seconds N]",
       .about = "Streams a simulated left and right insole through the SDK's whole receive\n"
                "path (frames, decoding, callbacks) for N seconds, showing per foot the\n"
                "sequence number, frames per second, lost packets, battery, IMU and the 48\n"
                "pressure cells as a shaded 6 x 8 grid. Then updates the left insole with a\n"
                "generated 10,240-byte image against the simulated insole, with a progress\n"
                "bar (about 8 seconds).\n"
                "\n"
                "On a terminal the view is redrawn in place; otherwise one summary line per\n"
                "foot is printed each second and one line per update stage. Ctrl-C stops."});
  auto seconds = std::make_shared<double>(kDefaultSeconds);
  add_value(demo, "--seconds", *seconds, parse_seconds, "N", "how long the insoles stream (default 4)");
  on_run(demo, [seconds] { return run(*seconds); });
}

}  // namespace insole
