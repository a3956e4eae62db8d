#include "insole/sources/source.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "insole/console/terminal.h"
#include "insole/sources/mock_frames.h"
#include "util/wall_clock.h"

namespace insole {

bool Source::write(const std::string&, std::span<const uint8_t>) { return false; }

namespace {

class MockSource final : public Source {
 public:
  explicit MockSource(std::vector<std::string> ids) : ids_(std::move(ids)) {
    for (const auto& id : ids_) feet_.push_back(tvis::mock::profile_for(id).device_id == 3 ? "right" : "left");
  }

  std::string describe() const override {
    return ids_.size() == 1 ? "1 mock insole" : std::to_string(ids_.size()) + " mock insoles";
  }

  void run(const SourceSink& sink, double seconds) override {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto tick = std::chrono::microseconds(1'000'000 / kMockFramesPerSecond);
    std::vector<uint8_t> frame;
    for (uint32_t n = 1; !stopped_.load(std::memory_order_relaxed) && !term::interrupted(); ++n) {
      const auto due = start + tick * (n - 1);
      if (seconds > 0 && due - start >= std::chrono::duration<double>(seconds)) break;
      std::this_thread::sleep_until(due);
      for (size_t i = 0; i < ids_.size(); ++i) {
        frame.clear();
        append_mock_frame(tvis::mock::profile_for(ids_[i]), n, frame);
        sink(SourceEvent{SourceEvent::Kind::notification, ids_[i], feet_[i], tvis::wall_clock_ns(), frame});
      }
    }
  }

  void stop() override { stopped_.store(true, std::memory_order_relaxed); }

 private:
  std::vector<std::string> ids_;
  std::vector<std::string> feet_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<Source> open_mock_source(const std::vector<std::string>& ids) {
  return std::make_unique<MockSource>(ids);
}

}  // namespace insole
