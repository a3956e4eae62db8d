// insole demo: a left and a right mock insole streaming through the receive
// path; two virtual insoles walking, their strides told live by the SDK's gait
// events and the session summarised at the end; then a firmware update of the
// left one against the mock insole.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "capture/mcap_writer.h"
#include "gait/recording.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/dfu/dfu_session.h"
#include "insole/console/live_stream.h"
#include "insole/console/terminal.h"
#include "insole/gait/capture_gait.h"
#include "insole/gait/gait_report.h"
#include "insole/sources/recorder.h"
#include "insole/sources/source.h"
#include "insole/view/view_layout.h"
#include "trova_insole_sdk.h"

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

constexpr double kDefaultWalkSeconds = 12;
constexpr size_t kCadenceStrides = 4;  // both feet's last strides

// What the gait callback prints from: the start of the walk and the last
// strides of both feet. Called on the source's thread only.
struct WalkLog {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::deque<double> recent_s;
};

void on_gait(const TvisGaitEvent* event, void* user_data) {
  if (!event->has_stride) return;
  auto& log = *static_cast<WalkLog*>(user_data);
  const TvisGaitStride& s = event->stride;
  log.recent_s.push_back(s.stride_s);
  if (log.recent_s.size() > kCadenceStrides) log.recent_s.pop_front();
  // Each stride of one foot is two steps of the pair.
  const double mean_s = std::accumulate(log.recent_s.begin(), log.recent_s.end(), 0.0) / log.recent_s.size();
  const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - log.start).count();
  std::printf("[%4.1f s] %-5s stride %.3f s: stance %.3f s (%.1f %%), swing %.3f s; cadence %.0f steps/min%s\n", at,
              event->device_id, s.stride_s, s.stance_s, 100 * s.stance_s / s.stride_s, s.swing_s, 120 / mean_s,
              s.flags & TVIS_STRIDE_FIRST_OF_BOUT ? " (first of the walk)" : "");
  std::fflush(stdout);
}

// The walk goes through the receive path as a host's notifications do, and
// into a temporary capture, which `insole gait --summary`'s analysis then
// summarises: the live strides and the summary come from one gait core.
int run_walk(double seconds) {
  std::printf("insole demo: two virtual insoles walking for %.0f s, strides as the SDK's gait events tell them\n",
              seconds);
  std::fflush(stdout);
  char path[] = "/tmp/insole-demo-XXXXXX.mcap";
  const int fd = mkstemps(path, 5);
  if (fd < 0) throw std::runtime_error("cannot make a temporary capture for the demo's walk");
  std::FILE* file = fdopen(fd, "wb");
  tvis::capture::FileSink sink(file);
  WalkLog log;
  {
    CaptureRecorder recorder(sink, {});
    auto source = open_virtual_source({"left", "right"});
    for (const char* id : {"left", "right"}) tvis_enable_gait(id, true);
    tvis_set_gait_event_callback(on_gait, &log);
    source->run([&](const SourceEvent& e) {
      if (e.kind != SourceEvent::Kind::notification) return;
      recorder.record(e);
      tvis_did_receive_data(e.device_id.c_str(), e.bytes.data(), e.bytes.size());
    }, seconds);
    tvis_set_gait_event_callback(nullptr, nullptr);
    for (const char* id : {"left", "right"}) tvis_enable_gait(id, false);
    (void)recorder.close();
  }
  std::fclose(file);
  int status = kExitOk;
  try {
    CaptureGaitTotals totals;
    GaitInput input = gait_input_of_capture(path, load_layout(""), totals);
    input.name = "the demo's walk";
    auto analysis = tvis::gait::analyze_recording(input.view(0), input.view(1));
    if (analysis) {
      std::printf("summary (as insole gait --summary gives it):\n%s\n", summary_json(input, analysis->summary).c_str());
    } else {
      std::fprintf(stderr, "insole: the demo's walk: %s\n", analysis.error().message.c_str());
      status = kExitFailed;
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: the demo's walk: %s\n", e.what());
    status = kExitFailed;
  }
  ::unlink(path);
  return term::interrupted() ? kExitInterrupted : status;
}

int run(double seconds, double walk_seconds) {
  int status = run_live_streams({"left", "right"}, seconds, "insole demo: two mock insoles");
  if (status != kExitOk) return status;
  std::printf("\n");
  if (walk_seconds > 0) {
    status = run_walk(walk_seconds);
    if (status != kExitOk) return status;
    std::printf("\n");
  }
  return run_update("left", demo_image(), Peer::Mock, "the demo's generated image");
}

}  // namespace

void add_demo(CLI::App& tool) {
  CLI::App* demo = add_command(
      tool, "demo", "two mock insoles streaming live, then a mock firmware update",
      {.usage = "insole demo [--seconds N] [--walk-seconds N]",
       .about = "Streams a simulated left and right insole through the SDK's whole receive\n"
                "path (frames, decoding, callbacks) for N seconds, showing per foot the\n"
                "sequence number, frames per second, lost packets, battery, IMU and the 48\n"
                "pressure cells as a shaded 6 x 8 grid. Then two virtual insoles walk for\n"
                "--walk-seconds through the same receive path with gait enabled: each stride\n"
                "is printed as it closes (stride, stance and swing in seconds, cadence in\n"
                "steps/min), then the walk's summary as insole gait --summary gives it. Then\n"
                "updates the left insole with a generated 10,240-byte image against the\n"
                "simulated insole, with a progress bar (about 8 seconds).\n"
                "\n"
                "On a terminal the view is redrawn in place; otherwise one summary line per\n"
                "foot is printed each second and one line per update stage. Ctrl-C stops."});
  auto seconds = std::make_shared<double>(kDefaultSeconds);
  auto walk_seconds = std::make_shared<double>(kDefaultWalkSeconds);
  add_value(demo, "--seconds", *seconds, parse_seconds, "N", "how long the mock insoles stream, s (default 4)");
  add_value(demo, "--walk-seconds", *walk_seconds, parse_seconds, "N",
            "how long the virtual insoles walk, s (default 12; 0 skips the walk)");
  on_run(demo, [seconds, walk_seconds] { return run(*seconds, *walk_seconds); });
}

}  // namespace insole
