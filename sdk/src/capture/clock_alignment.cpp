#include "capture/clock_alignment.h"

#include <cmath>
#include <cstddef>

namespace tvis::capture {

namespace {
constexpr int64_t kBucketNs = 1'000'000'000;
constexpr size_t kBuckets = 30;
// Device clocks step by a sample period; more than this is a new clock.
constexpr int64_t kJumpNs = 60'000'000'000;
}  // namespace

int64_t ClockAlignment::align(uint32_t device_ms, int64_t host_ns) {
  const int64_t step = static_cast<int64_t>(device_ms) - static_cast<int64_t>(last_ms_);
  if (!started_ || step < -1000 || step * 1'000'000 > kJumpNs) {
    buckets_.clear();
    started_ = true;
    anchor_ns_ = static_cast<int64_t>(device_ms) * 1'000'000;
    base_lag_ns_ = host_ns - anchor_ns_;
    offset_ns_ = 0;
    drift_ = 0;
  }
  last_ms_ = device_ms;  // a step back of up to a second is reordering, not a new clock
  const int64_t device_ns = static_cast<int64_t>(device_ms) * 1'000'000;
  const int64_t lag = host_ns - device_ns;

  if (buckets_.empty() || device_ns / kBucketNs != buckets_.back().device_ns / kBucketNs) {
    buckets_.push_back({device_ns, lag});
    if (buckets_.size() > kBuckets) buckets_.pop_front();
    fit();
  } else if (lag < buckets_.back().lag_ns) {
    buckets_.back() = {device_ns, lag};
    fit();
  }
  return device_ns + base_lag_ns_ +
         static_cast<int64_t>(std::llround(offset_ns_ + drift_ * static_cast<double>(device_ns - anchor_ns_)));
}

// The lower envelope through the bucket minima. A least-squares line through
// them still sits above the envelope by the minima's spread, so the line is
// then lowered until no minimum lies below it. The newest bucket is still
// filling: while a batch holds its first samples back its minimum is far too
// high and would tilt the line, so once there are enough whole buckets it
// stays out of the fit.
void ClockAlignment::fit() {
  const size_t n = buckets_.size() >= 4 ? buckets_.size() - 1 : buckets_.size();
  anchor_ns_ = buckets_.front().device_ns;
  if (n < 3) {
    int64_t lowest = buckets_.front().lag_ns;
    for (size_t i = 0; i < n; ++i) lowest = buckets_[i].lag_ns < lowest ? buckets_[i].lag_ns : lowest;
    offset_ns_ = static_cast<double>(lowest - base_lag_ns_);
    drift_ = 0;
    return;
  }
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < n; ++i) {
    const Bucket& b = buckets_[i];
    const double x = static_cast<double>(b.device_ns - anchor_ns_);
    const double y = static_cast<double>(b.lag_ns - base_lag_ns_);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double denom = static_cast<double>(n) * sxx - sx * sx;
  drift_ = denom > 0 ? (static_cast<double>(n) * sxy - sx * sy) / denom : 0;
  double intercept = (sy - drift_ * sx) / static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) {
    const Bucket& b = buckets_[i];
    const double line = intercept + drift_ * static_cast<double>(b.device_ns - anchor_ns_);
    const double lag = static_cast<double>(b.lag_ns - base_lag_ns_);
    if (lag < line) intercept -= line - lag;
  }
  offset_ns_ = intercept;
}

}  // namespace tvis::capture
