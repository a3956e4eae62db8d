// Virtual insoles as a source: tvis::sim::Runner drives them on its own
// thread on the steady clock. Each starts streaming at once (the tool sends
// the start command a host would), and again after its link comes back, since
// a dropped link ends the stream. Writes pass through to the insole.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <unordered_map>

#include "protocol/commands.h"
#include "sim/runner.h"
#include "insole/sources/source.h"
#include "insole/console/terminal.h"
#include "util/wall_clock.h"

namespace insole {

namespace {

constexpr uint32_t kVirtualRateHz = 50;

class VirtualSource final : public Source {
 public:
  VirtualSource(const std::vector<std::string>& feet, tvis::sim::Activity activity)
      : runner_({[this](const std::string& id, std::span<const uint8_t> bytes) { on_notification(id, bytes); },
                 [this](const std::string& id, bool up) { on_link(id, up); }}) {
    std::map<std::string, int> seen;
    for (size_t i = 0; i < feet.size(); ++i) {
      const int n = ++seen[feet[i]];
      Unit unit;
      unit.id = n == 1 ? feet[i] : feet[i] + "-" + std::to_string(n);
      unit.foot = feet[i];
      const int32_t foot = feet[i] == "right" ? tvis::protocol::DEVICE_RIGHT : tvis::protocol::DEVICE_LEFT;
      unit.config.identity = tvis::sim::numbered_identity(i + 1, foot);
      // The n-th left and the n-th right share a seed, hence one walker's
      // stride timeline: a pair steps in turn, as two feet do.
      unit.config.seed = static_cast<uint64_t>(n);
      unit.config.activity = activity;
      unit.config.name = unit.id;
      const auto request = tvis::protocol::enable_sensor_stream_request(static_cast<uint32_t>(i + 1), kVirtualRateHz);
      auto frame = tvis::protocol::frame_request(request, static_cast<uint8_t>(unit.config.identity.foot));
      if (frame) unit.start = std::move(frame.value());
      units_.push_back(std::move(unit));
    }
    for (const auto& unit : units_) by_id_.emplace(unit.id, &unit);
  }

  ~VirtualSource() override { runner_.stop(); }

  std::string describe() const override {
    return units_.size() == 1 ? "1 virtual insole" : std::to_string(units_.size()) + " virtual insoles";
  }

  void run(const SourceSink& sink, double seconds) override {
    sink_ = &sink;
    // The start commands go out before the runner's thread hands anything
    // out, so the sink still runs on one thread at a time.
    for (auto& unit : units_) {
      runner_.add(unit.id, unit.config);
      runner_.write(unit.id, unit.start);
      sink(SourceEvent{SourceEvent::Kind::write, unit.id, unit.foot, tvis::wall_clock_ns(), unit.start});
    }
    runner_.start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                             std::chrono::duration<double>(seconds > 0 ? seconds : 1e9));
    {
      std::unique_lock lock(mutex_);
      while (!stopped_ && !term::interrupted() && std::chrono::steady_clock::now() < end)
        wake_.wait_until(lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
    runner_.stop();
    for (auto& unit : units_) runner_.remove(unit.id);
    sink_ = nullptr;
  }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
  }

  bool write(const std::string& device_id, std::span<const uint8_t> bytes) override {
    return runner_.write(device_id, bytes);
  }

 private:
  struct Unit {
    std::string id, foot;
    tvis::sim::Config config;
    std::vector<uint8_t> start;
  };

  const Unit* unit_of(const std::string& id) const {
    auto found = by_id_.find(id);
    return found == by_id_.end() ? nullptr : found->second;
  }

  void on_notification(const std::string& id, std::span<const uint8_t> bytes) {
    const Unit* unit = unit_of(id);
    if (unit && sink_) (*sink_)(SourceEvent{SourceEvent::Kind::notification, unit->id, unit->foot, tvis::wall_clock_ns(), bytes});
  }

  void on_link(const std::string& id, bool up) {
    const Unit* unit = unit_of(id);
    if (!unit || !sink_) return;
    (*sink_)(SourceEvent{SourceEvent::Kind::link, unit->id, unit->foot, tvis::wall_clock_ns(), {}, up});
    if (up) {
      runner_.write(unit->id, unit->start);
      (*sink_)(SourceEvent{SourceEvent::Kind::write, unit->id, unit->foot, tvis::wall_clock_ns(), unit->start});
    }
  }

  std::vector<Unit> units_;
  std::unordered_map<std::string, const Unit*> by_id_;  // into units_, which never changes after construction
  const SourceSink* sink_ = nullptr;  // set while run() runs
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  tvis::sim::Runner runner_;  // last: its thread stops before the rest goes
};

}  // namespace

std::unique_ptr<Source> open_virtual_source(const std::vector<std::string>& feet, tvis::sim::Activity activity) {
  return std::make_unique<VirtualSource>(feet, activity);
}

}  // namespace insole
