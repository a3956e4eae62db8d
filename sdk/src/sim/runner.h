// Virtual insoles on a thread of their own, on the steady clock: the small
// real-time driver that hosts, tools and tests share. Writes may come from
// any thread; notifications and link changes are handed out on the runner's
// thread, with no lock held, so a sink may write back at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/virtual_insole.h"
#include "util/function_ref.h"

namespace tvis::sim {

class Runner {
 public:
  struct Sinks {
    std::function<void(const std::string& id, std::span<const uint8_t> bytes)> notification;
    std::function<void(const std::string& id, bool connected)> link;  // optional
  };

  // speed: insole time per unit of real time (10 runs the insoles ten times
  // fast, for tests that shrink the host's waits alike).
  explicit Runner(Sinks sinks, double speed = 1.0);
  ~Runner();  // stops the thread; like stop(), never from inside a sink
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Adds (or replaces) an insole, powered on now.
  void add(const std::string& id, Config config);
  bool remove(std::string_view id);

  // The host's write to the insole; false when there is no such insole.
  bool write(std::string_view id, std::span<const uint8_t> bytes);

  // Runs f on the insole, brought up to the current time, under the
  // runner's lock (f must not call back into the runner). False when there
  // is no such insole.
  bool with(std::string_view id, FunctionRef<void(VirtualInsole&)> f);

  void start();
  void stop();

  // The insoles' clock: real microseconds since the runner was made, times speed.
  uint64_t now_us() const;

 private:
  struct Unit {
    std::shared_ptr<const std::string> id;
    VirtualInsole insole;
  };
  struct Delivery {
    std::shared_ptr<const std::string> id;
    Output::Kind kind;
    size_t offset, len;
  };

  void run();
  void collect(uint64_t now);

  Sinks sinks_;
  double speed_;
  std::chrono::steady_clock::time_point t0_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool kicked_ = false;
  bool running_ = false;
  std::map<std::string, std::unique_ptr<Unit>, std::less<>> units_;
  std::thread thread_;

  // Filled under the lock, handed out after it; only the runner's thread
  // touches them.
  std::vector<Delivery> deliveries_;
  std::vector<uint8_t> delivery_bytes_;
};

}  // namespace tvis::sim
