// A capture replayed as a source, at the pace it was recorded (by log time),
// faster or slower (--speed), as fast as it reads (--fast), from some seconds
// in (--seek).
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
  ReplaySource(std::string path, double speed, bool fast, double seek_seconds)
      : path_(std::move(path)), speed_(speed), fast_(fast), seek_ns_(static_cast<int64_t>(seek_seconds * 1e9)) {}

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
    int64_t first_ns = 0, base_ns = 0;
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
          base_ns = at;
        }
        if (!fast_ && at > base_ns) {
          const auto due = base_at + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double, std::nano>(static_cast<double>(at - base_ns) / speed_));
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
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Source> open_replay_source(const std::string& path, double speed, bool fast, double seek_seconds) {
  check_capture(path);  // a file that is no capture is refused before a page or a broker waits for it
  return std::make_unique<ReplaySource>(path, speed, fast, seek_seconds);
}

}  // namespace insole
