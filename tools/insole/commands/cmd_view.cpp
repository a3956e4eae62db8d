// insole view: live insole data in a browser, served by the tool itself.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "protocol/json.h"
#include "insole/sources/source_options.h"
#include "insole/console/terminal.h"
#include "insole/console/status_line.h"
#include "trova_insole_sdk.h"
#include "insole/view/view_layout.h"
#include "insole/view/view_recorder.h"
#include "insole/view/view_server.h"
#include "insole/view/view_state.h"

namespace insole {

namespace {

struct Options {
  SourceOptions source;
  std::string listen = "127.0.0.1";
  uint32_t port = 0;
  double seconds = 0;  // 0: until Ctrl-C
  double fps = 30;
  std::string layout;
  std::string record_dir = ".";
  std::string mock_dfu;
};

// The mock update's reports, for the view that started it. The SDK calls
// back on its own thread and may still do so after the view ended: the slot
// is emptied first, and the state it points to is never freed before exit.
std::atomic<ViewState*> g_dfu_view{nullptr};

void on_dfu_progress(const char* id, const TvisDfuProgress* p) {
  if (ViewState* view = g_dfu_view.load())
    view->on_dfu(id, {p->state, p->percentage, p->speed_kbps, p->eta_secs, p->message ? p->message : ""});
}

void ignore_write(const char*, const uint8_t*, size_t) {}

void start_mock_update(ViewState& view, const std::string& id) {
  // The mock insole plays a fixed exchange whatever the image holds.
  static const std::vector<uint8_t> kImage(10240, 0xA5);
  g_dfu_view.store(&view);
  tvis_set_dfu_progress_callback(on_dfu_progress);
  tvis_set_ble_write_callback(ignore_write);
  if (tvis_start_dfu(id.c_str(), kImage.data(), kImage.size()) != 0 || tvis_start_mock_dfu(id.c_str()) != 0)
    throw std::runtime_error("the mock update could not be started");
}

double parse_fps(std::string_view text, std::string_view option) {
  const double value = parse_seconds(text, option);
  if (value < 1 || value > 120) throw UsageError("invalid value '" + std::string(text) + "' for " +
                                                 std::string(option) + " (expected 1 to 120)");
  return value;
}

uint32_t parse_port(std::string_view text, std::string_view option) {
  const uint32_t value = parse_u32(text, option);
  if (value > 65535) throw UsageError("invalid value '" + std::string(text) + "' for " + std::string(option) +
                                      " (expected a port, 0 to 65535)");
  return value;
}

std::string record_command(ViewState& state, ViewRecorder& recorder, std::string_view command) {
  std::string path, error;
  try {
    if (command == "record start") {
      path = recorder.start();
    } else if (command == "record stop") {
      if (!recorder.stop()) error = "the capture could not be written completely";
    } else {
      error = "unknown command";
    }
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  if (!error.empty()) {
    std::string answer = "{\"type\":\"error\",\"text\":";
    tvis::protocol::append_json_string(answer, error);
    return answer + "}";
  }
  state.set_recording(path);
  return {};
}

int run(const Options& options) {
  // Arguments first (exit 2), then what must be read (exit 1).
  std::unique_ptr<Source> source = open_source(options.source);
  const CellLayout layout = load_layout(options.layout);
  const std::string described = source->describe();

  // Leaked on purpose: an SDK update thread may report to it until exit.
  ViewState& state = *new ViewState(layout, described);
  ViewRecorder recorder(options.record_dir, described);
  ViewServer server(state, {.address = options.listen,
                            .port = static_cast<uint16_t>(options.port),
                            .rate_hz = options.fps});
  if (!server.loopback())
    std::fprintf(stderr, "insole: warning: serving on %s, reachable from other machines; the view has no login\n",
                 options.listen.c_str());
  server.on_command([&](std::string_view command) { return record_command(state, recorder, command); });
  std::printf("insole view: %s\n", server.url().c_str());
  std::fflush(stdout);
  server.start();

  term::catch_interrupts();
  if (!options.mock_dfu.empty()) start_mock_update(state, options.mock_dfu);

  std::mutex failure_mutex;
  std::string failure;
  std::atomic<bool> source_done{false};
  std::thread source_thread([&] {
    std::set<std::string, std::less<>> asked;  // this thread's only
    try {
      source->run(
          [&](const SourceEvent& e) {
            if (e.kind == SourceEvent::Kind::notification && !asked.contains(e.device_id)) {
              asked.insert(e.device_id);
              ask_device_info(*source, e);  // the page shows who each insole is
            }
            state.on_event(e);
            recorder.on_event(e);
          },
          options.seconds);
    } catch (const std::exception& e) {
      std::lock_guard lock(failure_mutex);
      failure = e.what();
    }
    source_done = true;
  });

  // A source that ends (a replay at its end) leaves its last state on show
  // until the time is up or Ctrl-C.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      options.seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(options.seconds))
                          : Clock::time_point::max();
  {
    RateOf rate;
    StatusLine status([&] {
      return "insole view: " + rate.text(state.frames_total(), "frames") + ", " +
             std::to_string(state.lost_total()) + " estimated missing, " +
             std::to_string(server.pages_dropped()) + " pages dropped";
    });
    while (!term::interrupted() && Clock::now() < deadline) {
      {
        std::lock_guard lock(failure_mutex);
        if (!failure.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  source->stop();
  source_thread.join();
  const bool recorded = recorder.stop();
  server.stop();
  g_dfu_view.store(nullptr);
  tvis_set_dfu_progress_callback(nullptr);
  tvis_set_ble_write_callback(nullptr);

  if (!failure.empty()) {
    std::fprintf(stderr, "insole: %s\n", failure.c_str());
    return kExitFailed;
  }
  std::printf("insole view: %llu frames decoded, %llu pages dropped\n",
              static_cast<unsigned long long>(state.frames_total()),
              static_cast<unsigned long long>(server.pages_dropped()));
  if (!recorded) {
    std::fprintf(stderr, "insole: the capture could not be written completely\n");
    return kExitFailed;
  }
  return term::interrupted() ? kExitInterrupted : kExitOk;
}

}  // namespace

void add_view(CLI::App& tool) {
  CLI::App* view = add_command(
      tool, "view", "live insole data in a browser, served by the tool",
      {.usage = "insole view [SOURCE] [--port N] [--listen ADDR] [--seconds N] [--layout FILE]",
       .about = "Serves one page that shows the insoles live: both feet as pressure maps\n"
                "with a colour legend (hover a cell for its index, raw and calibrated\n"
                "values), the centre of pressure with its trail, the load per foot, the\n"
                "IMU over the last 10 s, the shear vectors, and per insole the sequence\n"
                "number, frame rate, packets lost, CRC and decode errors, battery, device\n"
                "information, events and the progress of a firmware update. Pause stops\n"
                "the page; Record writes what arrives to an MCAP capture in --record-dir.\n"
                "\n"
                "The URL goes to standard output as \"insole view: http://...\". The server\n"
                "listens on 127.0.0.1 (a free port unless --port) and answers only its own\n"
                "page; a page of another origin is refused. The data comes from the mock\n"
                "insoles unless a source option names another.\n"
                "\n"
                "The cell positions come from a layout file (JSON: per cell index 0..47 a\n"
                "centre x, y and a size w, h in millimetres on the left foot; the right foot\n"
                "is mirrored). The built-in one is a default arrangement, not the geometry\n"
                "of a real insole: give yours with --layout.",
       .notes = "Exit status: 0 after --seconds, 1 when the layout file, the source or the\n"
                "address cannot be used, 2 for bad arguments, 130 on Ctrl-C."});
  auto options = std::make_shared<Options>();
  add_source_options(view, options->source);
  add_value(view, "--port", options->port, parse_port, "N", "the port (default: a free one)");
  add_text(view, "--listen", options->listen, "ADDR",
           "the address to serve on (default 127.0.0.1; others are\nreachable from other machines)");
  add_value(view, "--seconds", options->seconds, parse_seconds, "N", "serve for N seconds (default: until Ctrl-C)");
  add_text(view, "--layout", options->layout, "FILE", "the cell layout (default: the built-in one)");
  add_value(view, "--fps", options->fps, parse_fps, "N", "snapshots a page gets per second (default 30)");
  add_text(view, "--record-dir", options->record_dir, "DIR", "where Record writes captures (default .)");
  add_text(view, "--mock-dfu", options->mock_dfu, "ID",
           "run the mock firmware update for this insole id, to see\nits progress");
  on_run(view, [options] { return run(*options); });
}

}  // namespace insole
