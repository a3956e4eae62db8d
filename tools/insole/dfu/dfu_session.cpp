#include "insole/dfu/dfu_session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

#include "insole/cli/cli.h"
#include "sim/runner.h"
#include "insole/console/terminal.h"
#include "insole/console/text.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

constexpr int kBarWidth = 30;

struct Report {
  int32_t state = 0;
  double percentage = 0;
  double speed_kbps = 0;
  double eta_secs = 0;
  std::string message;
};

// Reports queued by the update thread for the main thread to draw. Leaked on
// purpose, like every slot a detached SDK thread may still reach at exit.
struct Session {
  std::mutex mutex;
  std::string device_id;
  std::vector<Report> reports;
  std::atomic<uint64_t> frames_written{0};
  std::atomic<uint64_t> bytes_written{0};
};

Session& session() {
  static Session* s = new Session;
  return *s;
}

void on_progress(const char* id, const TvisDfuProgress* p) {
  Session& s = session();
  std::lock_guard lock(s.mutex);
  if (s.device_id != id) return;
  s.reports.push_back({p->state, p->percentage, p->speed_kbps, p->eta_secs, p->message ? p->message : ""});
}

// The virtual insole of a --virtual update, while it runs.
std::atomic<tvis::sim::Runner*>& virtual_peer() {
  static std::atomic<tvis::sim::Runner*> peer{nullptr};
  return peer;
}

void on_write(const char* id, const uint8_t* data, size_t len) {
  session().frames_written.fetch_add(1, std::memory_order_relaxed);
  session().bytes_written.fetch_add(len, std::memory_order_relaxed);
  if (tvis::sim::Runner* peer = virtual_peer().load()) peer->write(id, {data, len});
}

std::vector<Report> take_reports() {
  Session& s = session();
  std::lock_guard lock(s.mutex);
  std::vector<Report> out;
  out.swap(s.reports);
  return out;
}

std::string bar(double percentage) {
  const int filled = static_cast<int>(percentage / 100.0 * kBarWidth + 0.5);
  std::string out = "[" + term::fg256(40);
  for (int i = 0; i < kBarWidth; ++i) out += i < filled ? '=' : (i == filled ? '>' : ' ');
  return out + term::reset() + "]";
}

// The offset the insole asked for, from "Uploading offset: N".
std::string offset_of(const std::string& message) {
  const size_t colon = message.find(": ");
  return colon == std::string::npos ? std::string() : message.substr(colon + 2);
}

// Draws the reports: finished stages as lines, the upload as one bar that is
// redrawn on a terminal and sampled every quarter otherwise.
class ProgressView {
 public:
  explicit ProgressView(bool tty) : tty_(tty) {}

  void show(const Report& r) {
    if (r.state == TVIS_DFU_UPLOADING) {
      if (tty_) {
        // No wrapping while the bar is live, so \r always returns to its start.
        if (!bar_open_) std::printf("\x1b[?7l");
        std::printf("\r\x1b[2K  %s %5.1f%%  %6.1f KiB/s  ETA %4.1f s  offset %s", bar(r.percentage).c_str(),
                    r.percentage, r.speed_kbps, r.eta_secs, offset_of(r.message).c_str());
        bar_open_ = true;
      } else if (r.percentage >= next_quarter_) {
        std::printf("dfu: uploading %.1f%%, %.1f KiB/s, ETA %.1f s, offset %s\n", r.percentage, r.speed_kbps,
                    r.eta_secs, offset_of(r.message).c_str());
        while (next_quarter_ <= r.percentage) next_quarter_ += 25.0;
      }
      std::fflush(stdout);
      return;
    }
    if (r.message == last_message_) return;  // the insole repeats some answers
    last_message_ = r.message;
    close_bar();
    const bool failed = r.state == TVIS_DFU_FAILED || r.state == TVIS_DFU_ABORTED;
    const int colour = r.state == TVIS_DFU_COMPLETED ? 40 : failed ? 196 : -1;
    if (tty_ && colour >= 0)
      std::printf("%s%s%s%s\n", term::bold().c_str(), term::fg256(colour).c_str(), r.message.c_str(),
                  term::reset().c_str());
    else
      std::printf(tty_ ? "  %s\n" : "dfu: %s\n", r.message.c_str());
    std::fflush(stdout);
  }

  void close_bar() {
    if (bar_open_) std::printf("\x1b[?7h\n");
    bar_open_ = false;
  }

 private:
  bool tty_;
  bool bar_open_ = false;
  double next_quarter_ = 25.0;
  std::string last_message_;
};

}  // namespace

int run_update(const std::string& device_id, std::span<const uint8_t> image, Peer peer, const std::string& image_name) {
  Session& s = session();
  {
    std::lock_guard lock(s.mutex);
    s.device_id = device_id;
    s.reports.clear();
  }
  s.frames_written = 0;
  s.bytes_written = 0;
  tvis_set_dfu_progress_callback(on_progress);
  tvis_set_ble_write_callback(on_write);
  term::catch_interrupts();

  const bool tty = term::stdout_is_tty();
  const bool mock = peer == Peer::Mock;
  std::printf("%sFirmware update of '%s' (%s), %zu bytes%s\n", tty ? term::bold().c_str() : "dfu: ",
              device_id.c_str(), mock ? "mock insole" : "virtual insole", image.size(),
              tty ? term::reset().c_str() : "");
  if (mock) {
    // The mock insole plays a fixed script whatever the image holds; its
    // "completed" must not read as a verdict on the image.
    std::printf("%snote: the mock update replays a fixed 10,240-byte exchange; the simulated insole neither\n"
                "%sreads the image nor checks its size or CRC, so the outcome says nothing about %s\n",
                tty ? "  " : "dfu: ", tty ? "  " : "dfu: ", image_name.c_str());
  }
  std::fflush(stdout);

  // A virtual insole takes the whole image, checks every chunk's CRC-32 and the
  // image's size and CRC-32, and reboots into a version derived from it.
  std::unique_ptr<tvis::sim::Runner> runner;
  if (!mock) {
    runner = std::make_unique<tvis::sim::Runner>(tvis::sim::Runner::Sinks{
        [](const std::string& id, std::span<const uint8_t> bytes) {
          tvis_did_receive_data(id.c_str(), bytes.data(), bytes.size());
        },
        {}});
    tvis::sim::Config config;
    config.name = device_id;
    runner->add(device_id, config);
    runner->start();
    virtual_peer().store(runner.get());
  }
  const int32_t started = tvis_start_dfu(device_id.c_str(), image.data(), image.size());
  if (started != 0 || (mock && tvis_start_mock_dfu(device_id.c_str()) != 0)) {
    virtual_peer().store(nullptr);
    std::fprintf(stderr, "insole: the update could not be started\n");
    return kExitFailed;
  }

  ProgressView view(tty);
  int32_t final_state = -1;
  bool abort_sent = false;
  while (final_state < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (term::interrupted() && !abort_sent) {
      // The update is registered from its start on, so this reaches it at any
      // stage; its aborted report ends the loop.
      tvis_abort_dfu(device_id.c_str());
      abort_sent = true;
    }
    for (const Report& r : take_reports()) {
      view.show(r);
      if (r.state == TVIS_DFU_COMPLETED || r.state == TVIS_DFU_FAILED || r.state == TVIS_DFU_ABORTED) final_state = r.state;
    }
  }
  view.close_bar();
  tvis_set_dfu_progress_callback(nullptr);
  tvis_set_ble_write_callback(nullptr);
  virtual_peer().store(nullptr);
  if (runner) {
    // The insole's own word on the image: after a verified update it reboots
    // into a firmware version derived from the image's CRC-32.
    std::this_thread::sleep_for(std::chrono::milliseconds(final_state == TVIS_DFU_COMPLETED ? 1600 : 0));
    std::string version;
    runner->with(device_id, [&](tvis::sim::VirtualInsole& v) { version = v.device_info().fw_version; });
    std::printf("%sthe virtual insole now runs firmware %s\n", tty ? "  " : "dfu: ", version.c_str());
    runner->stop();
  }

  std::printf("%s%llu frames, %llu bytes written to the insole\n", tty ? "  " : "dfu: ",
              static_cast<unsigned long long>(s.frames_written.load()),
              static_cast<unsigned long long>(s.bytes_written.load()));
  // An update that finished before the abort reached it ends as it ended.
  if (abort_sent && final_state == TVIS_DFU_ABORTED) return kExitInterrupted;
  return final_state == TVIS_DFU_COMPLETED ? kExitOk : kExitFailed;
}

}  // namespace insole
