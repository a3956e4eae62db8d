// The browser view's server fed at a chosen rate, for bench/view_bench.py:
// mock frames go into the view's receive path on a thread of their own, as a
// source would hand them out, while the script's WebSocket clients measure
// what arrives. Prints the URL first, then what the feeder saw at the end.
//   view_bench [--insoles N] [--rate HZ] [--seconds S] [--fps F]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "insole/sources/mock_frames.h"
#include "insole/view/view_layout.h"
#include "insole/view/view_server.h"
#include "insole/view/view_state.h"
#include "util/wall_clock.h"

int main(int argc, char** argv) {
  int insoles = 2;
  double rate = 100, seconds = 10, fps = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--insoles")) insoles = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rate")) rate = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--fps")) fps = std::atof(argv[i + 1]);
  }
  using namespace insole;
  ViewState state(load_layout(""), "benchmark feeder");
  ViewServer server(state, {.rate_hz = fps});
  std::printf("view_bench: %s\n", server.url().c_str());
  std::fflush(stdout);
  server.start();

  std::vector<std::string> ids, feet;
  for (int i = 0; i < insoles; ++i) {
    ids.push_back(i % 2 ? "right-" + std::to_string(i) : "left-" + std::to_string(i));
    feet.push_back(i % 2 ? "right" : "left");
  }
  using Clock = std::chrono::steady_clock;
  const auto tick = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  const auto start = Clock::now();
  const auto ticks = static_cast<uint32_t>(seconds * rate);
  uint64_t fed = 0;
  double worst_call_us = 0;
  std::vector<uint8_t> frame;
  for (uint32_t n = 1; n <= ticks; ++n) {
    std::this_thread::sleep_until(start + tick * (n - 1));
    for (int i = 0; i < insoles; ++i) {
      frame.clear();
      append_mock_frame(tvis::mock::profile_for(ids[i]), n, frame);
      const int64_t now = tvis::wall_clock_ns();
      const auto before = Clock::now();
      state.on_event(SourceEvent{SourceEvent::Kind::notification, ids[i], feet[i], now, frame});
      worst_call_us = std::max(worst_call_us, std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      ++fed;
    }
  }
  server.stop();
  std::printf("view_bench: fed %llu frames, decoded %llu, worst receive call %.0f us, pages dropped %llu\n",
              static_cast<unsigned long long>(fed), static_cast<unsigned long long>(state.frames_total()),
              worst_call_us, static_cast<unsigned long long>(server.pages_dropped()));
  return 0;
}
