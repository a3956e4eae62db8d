#include "insole/console/live_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "insole/cli/cli.h"
#include "insole/console/foot_monitor.h"
#include "insole/console/stream_view.h"
#include "insole/console/terminal.h"
#include "insole/console/text.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Frames per second over the last second, per foot, from the frame counts the
// view samples as it draws.
class RateMeter {
 public:
  double update(Clock::time_point now, uint64_t frames) {
    samples_.emplace_back(now, frames);
    while (samples_.size() > 2 && seconds_between(samples_[1].first, now) >= 1.0) samples_.pop_front();
    const auto& [then, old_frames] = samples_.front();
    const double span = seconds_between(then, now);
    return span > 0 ? static_cast<double>(frames - old_frames) / span : 0.0;
  }

 private:
  std::deque<std::pair<Clock::time_point, uint64_t>> samples_;
};

}  // namespace

int run_live_streams(const std::vector<std::string>& ids, double seconds, const std::string& title) {
  const bool tty = term::stdout_is_tty();
  term::catch_interrupts();
  attach_foot_monitor();

  const Clock::time_point start = Clock::now();
  for (const auto& id : ids) tvis_start_mock_stream(id.c_str());

  const auto total = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const Clock::time_point deadline = start + total;
  std::vector<RateMeter> meters(ids.size());
  term::LiveBlock block;
  Clock::time_point next_summary = std::min(start + std::chrono::seconds(1), deadline);

  for (;;) {
    const Clock::time_point now = std::min(Clock::now(), deadline);
    const bool last = now >= deadline || term::interrupted();
    const std::vector<FootState> feet = foot_snapshot(ids);
    std::vector<double> fps(feet.size());
    for (size_t i = 0; i < feet.size(); ++i) fps[i] = meters[i].update(now, feet[i].frames);

    if (tty) {
      std::vector<std::string> lines;
      lines.push_back(term::bold() + title + term::reset() +
                      strf("   %.1f s of %.1f s (Ctrl-C stops)", seconds_between(start, now), seconds));
      for (size_t i = 0; i < feet.size(); ++i) {
        auto panel = foot_panel(feet[i], fps[i]);
        lines.insert(lines.end(), panel.begin(), panel.end());
      }
      block.draw(lines);
    } else if (now >= next_summary || last) {
      for (size_t i = 0; i < feet.size(); ++i)
        std::printf("[%4.1f s] %s\n", seconds_between(start, now), foot_summary(feet[i], fps[i]).c_str());
      std::fflush(stdout);
      next_summary = std::min(next_summary + std::chrono::seconds(1), deadline);
    }
    if (last) break;
    const Clock::time_point wake = tty ? now + std::chrono::milliseconds(100) : next_summary;
    std::this_thread::sleep_until(std::min({wake, deadline, Clock::now() + std::chrono::milliseconds(100)}));
  }
  block.finish();

  tvis_stop_mock_stream();
  // Each stream ends at its next tick (20 ms); let them go before the slots empty.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  detach_foot_monitor();
  return term::interrupted() ? kExitInterrupted : kExitOk;
}

}  // namespace insole
