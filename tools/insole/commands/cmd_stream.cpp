// insole stream: mock insoles for a while, shown live or as JSON lines.
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/live_stream.h"
#include "insole/sources/mock_frames.h"
#include "protocol/json_stream.h"
#include "insole/console/terminal.h"
#include "insole/console/json_decoder.h"
#include "util/utf8.h"

namespace insole {

namespace {

constexpr double kDefaultSeconds = 5;

struct Options {
  std::vector<std::string> ids;
  double seconds = kDefaultSeconds;
  bool json = false;
};

// The mock insoles' messages as JSON lines, made here at the mock stream's
// pace (one frame per device every 20 ms) and read back through a stream
// decoder per device, so each line is exactly what `insole decode` prints.
int stream_json(const std::vector<std::string>& ids, double seconds) {
  using Clock = std::chrono::steady_clock;
  struct Device {
    const tvis::mock::FootProfile* profile;
    tvis::protocol::JsonStream decoder{false, true, kDecodeSequenceLog};
  };
  std::vector<Device> devices;
  for (const auto& id : ids) devices.push_back({&tvis::mock::profile_for(id)});

  term::catch_interrupts();
  const auto ticks = static_cast<uint32_t>(seconds * kMockFramesPerSecond + 0.5);
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> frame;
  std::vector<std::string> lines;
  for (uint32_t n = 1; n <= ticks && !term::interrupted(); ++n) {
    for (auto& d : devices) {
      frame.clear();
      append_mock_frame(*d.profile, n, frame);
      if (auto error = d.decoder.push(frame, lines)) std::fprintf(stderr, "insole: %s\n", error->c_str());
    }
    for (const auto& line : lines) {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
    }
    lines.clear();
    if (std::fflush(stdout) != 0) return kExitFailed;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20) * n);
  }
  return term::interrupted() ? kExitInterrupted : kExitOk;
}

int run(const Options& options) {
  std::vector<std::string> ids = options.ids;
  if (ids.empty()) ids = {"left", "right"};
  std::set<std::string> seen;
  for (const auto& id : ids) {
    if (id.empty()) throw UsageError("--device needs a non-empty id");
    if (!tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(id.data()), id.size()))
      throw UsageError("device id is not UTF-8 text");
    if (!seen.insert(id).second) throw UsageError("device '" + id + "' is given twice");
  }
  if (options.json) return stream_json(ids, options.seconds);
  return run_live_streams(ids, options.seconds, "insole stream: " + std::to_string(ids.size()) + " mock insole(s)");
}

}  // namespace

void add_stream(CLI::App& tool) {
  CLI::App* stream = add_command(
      tool, "stream", "mock insoles streaming, shown live or as JSON lines",
      {.usage = "insole stream [--device ID ...] [--seconds N] [--json]",
       .about = "Runs a simulated insole per device id (default: left and right) for N\n"
                "seconds. An id containing \"right\" (any case), or the id 1 or 3, is a right\n"
                "insole; any other id a left one. Each sends 50 frames a second.\n"
                "\n"
                "Without --json the insoles stream through the SDK's receive path and are\n"
                "shown live on a terminal (one summary line per device per second\n"
                "otherwise). With --json every message is printed as one JSON line, as\n"
                "`insole decode` prints it; those messages are made on the tool's own thread\n"
                "at the same pace, tick by tick across the devices."});
  auto options = std::make_shared<Options>();
  add_text(stream, "--device", options->ids, "ID", "a simulated insole (repeat for more)");
  add_value(stream, "--seconds", options->seconds, parse_seconds, "N", "how long to stream (default 5)");
  stream->add_flag("--json", options->json, "JSON lines instead of the live view");
  on_run(stream, [options] { return run(*options); });
}

}  // namespace insole
