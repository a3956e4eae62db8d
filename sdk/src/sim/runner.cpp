#include "sim/runner.h"

#include <algorithm>

namespace tvis::sim {

namespace {

using Clock = std::chrono::steady_clock;

// The runner looks at its insoles at most this often: insoles started at
// different instants would otherwise each wake it for every sample.
constexpr auto kTick = std::chrono::microseconds(1000);
constexpr auto kIdleWait = std::chrono::milliseconds(100);

}  // namespace

Runner::Runner(Sinks sinks, double speed) : sinks_(std::move(sinks)), speed_(speed > 0.0 ? speed : 1.0), t0_(Clock::now()) {}

Runner::~Runner() { stop(); }

uint64_t Runner::now_us() const {
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0_).count() * speed_;
  return us > 0.0 ? static_cast<uint64_t>(us) : 0;
}

void Runner::add(const std::string& id, Config config) {
  auto unit = std::make_unique<Unit>(Unit{std::make_shared<const std::string>(id), VirtualInsole(std::move(config), now_us())});
  {
    std::lock_guard lock(mutex_);
    units_.insert_or_assign(id, std::move(unit));
    kicked_ = true;
  }
  wake_.notify_one();
}

bool Runner::remove(std::string_view id) {
  std::lock_guard lock(mutex_);
  auto it = units_.find(id);
  if (it == units_.end()) return false;
  units_.erase(it);
  return true;
}

bool Runner::write(std::string_view id, std::span<const uint8_t> bytes) {
  {
    std::lock_guard lock(mutex_);
    auto it = units_.find(id);
    if (it == units_.end()) return false;
    VirtualInsole& insole = it->second->insole;
    insole.advance_to(now_us());
    insole.write(bytes);
    kicked_ = true;
  }
  wake_.notify_one();
  return true;
}

bool Runner::with(std::string_view id, FunctionRef<void(VirtualInsole&)> f) {
  {
    std::lock_guard lock(mutex_);
    auto it = units_.find(id);
    if (it == units_.end()) return false;
    it->second->insole.advance_to(now_us());
    f(it->second->insole);
    kicked_ = true;
  }
  wake_.notify_one();
  return true;
}

void Runner::start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  thread_ = std::thread([this] { run(); });
}

void Runner::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

// Under the lock: brings every insole to now and moves what it sends into
// the delivery list.
void Runner::collect(uint64_t now) {
  deliveries_.clear();
  delivery_bytes_.clear();
  for (auto& entry : units_) {
    Unit& unit = *entry.second;
    unit.insole.advance_to(now);
    unit.insole.drain([&](const Output& o) {
      deliveries_.push_back({unit.id, o.kind, delivery_bytes_.size(), o.bytes.size()});
      delivery_bytes_.insert(delivery_bytes_.end(), o.bytes.begin(), o.bytes.end());
    });
  }
}

void Runner::run() {
  std::unique_lock lock(mutex_);
  while (running_) {
    kicked_ = false;
    collect(now_us());
    uint64_t next = UINT64_MAX;
    for (const auto& entry : units_) next = std::min(next, entry.second->insole.next_due_us());
    lock.unlock();

    for (const Delivery& d : deliveries_) {
      const std::span<const uint8_t> bytes(delivery_bytes_.data() + d.offset, d.len);
      if (d.kind == Output::Kind::Notification) {
        if (sinks_.notification) sinks_.notification(*d.id, bytes);
      } else if (sinks_.link) {
        sinks_.link(*d.id, d.kind == Output::Kind::LinkRestored);
      }
    }

    auto until = Clock::now() + kIdleWait;
    if (next != UINT64_MAX) {
      const auto due = t0_ + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double, std::micro>(static_cast<double>(next) / speed_));
      until = std::min(until, std::max(due, Clock::now() + kTick));
    }
    lock.lock();
    wake_.wait_until(lock, until, [this] { return kicked_ || !running_; });
  }
}

}  // namespace tvis::sim
