// A status line for long work (record, bridge, view): every few seconds, on
// standard error, and only when standard error is a terminal, so that logs
// and scripts reading standard error see nothing new.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace insole {

class StatusLine {
 public:
  // text() is called on the status thread; it must be safe to call from
  // there while the work runs. Nothing starts when stderr is no terminal.
  explicit StatusLine(std::function<std::string()> text,
                      std::chrono::milliseconds every = std::chrono::seconds(5));
  ~StatusLine();
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

 private:
  std::function<std::string()> text_;
  std::chrono::milliseconds every_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// "N <noun>, R <noun>/s": a running count and its rate since the last call.
// Used from the status thread only.
class RateOf {
 public:
  std::string text(uint64_t total, const char* noun);

 private:
  uint64_t before_total_ = 0;
  std::chrono::steady_clock::time_point before_ = std::chrono::steady_clock::now();
};

}  // namespace insole
