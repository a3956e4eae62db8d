// A capture replayed as a source, at the pace it was recorded (by log time),
// faster or slower (--speed), as fast as it reads (--fast), from some seconds
// in (--seek). A gap in the log times (a capture paused for an hour, a clock
// that jumped) is waited out only up to a cap (--max-gap), with one warning
// per gap, so that a replay never sits silent for as long as the gap.
//
// Replayed events carry the capture's own log time as host_time_ns, not the
// time of the replay: a recording of a replay is then the same session, with
// the same receive times, and the clock alignment of an export made from it
// is that of the original. A raw capture has no times: its bytes go out as
// they are read, stamped with the time of the replay.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "insole/capture/capture_reader.h"
#include "insole/sources/source.h"
#include "insole/console/terminal.h"
#include "util/wall_clock.h"

namespace insole {

namespace {

using Clock = std::chrono::steady_clock;

struct Stopped {};  // thrown through the capture reader to end it early

class ReplaySource final : public Source {
 public:
  ReplaySource(std::string path, double speed, bool fast, double seek_seconds, double max_gap_seconds)
      : path_(std::move(path)), speed_(speed), fast_(fast), seek_ns_(static_cast<int64_t>(seek_seconds * 1e9)),
        max_gap_ns_(max_gap_seconds * 1e9) {}

  std::string describe() const override {
    char pace[32];
    std::snprintf(pace, sizeof pace, "%gx", speed_);
    return "replay of " + path_ + (fast_ ? std::string(" as fast as it reads") : " at " + std::string(pace));
  }

  void run(const SourceSink& sink, double seconds) override {
    const auto start = Clock::now();
    const auto end = seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))
                                 : Clock::time_point::max();
    bool timed = false;
    int64_t first_ns = 0, base_ns = 0, last_ns = 0;
    double cut_ns = 0;  // replay time left out of gaps that were capped
    Clock::time_point base_at{};
    try {
      read_capture(path_, [&](const Notification& n) {
        if (should_end(end)) throw Stopped{};
        int64_t at = n.host_time_ns;
        if (at == 0) {  // a raw capture: no times to keep or pace by
          sink(SourceEvent{SourceEvent::Kind::notification, n.device_id, n.foot, tvis::wall_clock_ns(), n.bytes});
          return;
        }
        if (!timed) {
          timed = true;
          first_ns = at;
        }
        if (at < first_ns + seek_ns_) return;
        if (base_at == Clock::time_point{}) {
          base_at = Clock::now();
          base_ns = last_ns = at;
        }
        if (!fast_ && at > last_ns) {
          const double wait_ns = static_cast<double>(at - last_ns) / speed_;
          if (wait_ns > max_gap_ns_) {
            std::fprintf(stderr,
                         "insole: warning: replay: a gap of %.3f s in the capture's log times, waited %g s instead\n",
                         static_cast<double>(at - last_ns) / 1e9, max_gap_ns_ / 1e9);
            cut_ns += wait_ns - max_gap_ns_;
          }
        }
        if (at > last_ns) last_ns = at;
        if (!fast_ && at > base_ns) {
          const auto due = base_at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::nano>(
                                         static_cast<double>(at - base_ns) / speed_ - cut_ns));
          if (!wait_until(std::min(due, end))) throw Stopped{};
          if (due > end) throw Stopped{};
        }
        sink(SourceEvent{SourceEvent::Kind::notification, n.device_id, n.foot, at, n.bytes});
      });
    } catch (const Stopped&) {
    }
  }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
  }

 private:
  bool should_end(Clock::time_point end) {
    std::lock_guard lock(mutex_);
    return stopped_ || term::interrupted() || Clock::now() >= end;
  }

  // False when the replay is to end before `due`.
  bool wait_until(Clock::time_point due) {
    std::unique_lock lock(mutex_);
    while (!stopped_ && !term::interrupted()) {
      const auto now = Clock::now();
      if (now >= due) return true;
      wake_.wait_until(lock, std::min(due, now + std::chrono::milliseconds(50)));
    }
    return false;
  }

  std::string path_;
  double speed_;
  bool fast_;
  int64_t seek_ns_;
  double max_gap_ns_;  // the longest wait for one gap, in replay time
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Source> open_replay_source(const std::string& path, double speed, bool fast, double seek_seconds,
                                           double max_gap_seconds) {
  check_capture(path);  // a file that is no capture is refused before a page or a broker waits for it
  return std::make_unique<ReplaySource>(path, speed, fast, seek_seconds, max_gap_seconds);
}

}  // namespace insole
