#include "insole/console/status_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace insole {

StatusLine::StatusLine(std::function<std::string()> text, std::chrono::milliseconds every)
    : text_(std::move(text)), every_(every) {
  const char* forced = std::getenv("INSOLE_STATUS_EVERY_MS");  // tests: a short period
  if (forced != nullptr && *forced) every_ = std::chrono::milliseconds(std::strtoul(forced, nullptr, 10));
  if (!::isatty(STDERR_FILENO) || every_.count() <= 0) return;
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, every_, [this] { return stop_; })) {
      lock.unlock();
      const std::string line = text_();  // no lock held while the work is asked
      std::fprintf(stderr, "%s\n", line.c_str());
      lock.lock();
    }
  });
}

StatusLine::~StatusLine() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string RateOf::text(uint64_t total, const char* noun) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - before_).count();
  const double rate = seconds > 0 && total >= before_total_ ? static_cast<double>(total - before_total_) / seconds : 0;
  before_ = now;
  before_total_ = total;
  char text[128];
  std::snprintf(text, sizeof text, "%llu %s, %.1f %s/s", static_cast<unsigned long long>(total), noun, rate, noun);
  return text;
}

}  // namespace insole
