// Maps an insole's own clock (timestamp_ms) onto the host's clock, online,
// from pairs of (device time, host receive time).
//
// BLE only ever adds delay: a sample is received at its device time plus the
// clock offset plus a delay of zero or more. So the offset is the lower
// envelope of (host - device), not its mean. The estimator keeps the minimum of
// each one-second bucket of device time and fits a line through the minima of
// the last 30 buckets: its intercept is the offset, its slope the drift.
// Batching and gaps only raise points above the envelope, and a bucket's
// minimum ignores them. What no host can see is the link's smallest delay:
// aligned times are those of the fastest delivery, and carry it. A jump of the device clock backwards (a reboot) or far
// forwards (a wrapped or reset counter) starts a new estimate.
#pragma once

#include <cstdint>
#include <deque>

namespace tvis::capture {

class ClockAlignment {
 public:
  // Adds one sample and returns its device time mapped to host time (ns).
  int64_t align(uint32_t device_ms, int64_t host_ns);

 private:
  struct Bucket {
    int64_t device_ns;  // device time of the bucket's lowest point
    int64_t lag_ns;     // host - device at that point
  };
  void fit();

  std::deque<Bucket> buckets_;
  bool started_ = false;
  uint32_t last_ms_ = 0;
  // host = device + base_lag + offset + drift * (device - anchor); the fit
  // works relative to base_lag so that doubles keep nanoseconds exact.
  int64_t base_lag_ns_ = 0;
  double offset_ns_ = 0, drift_ = 0;
  int64_t anchor_ns_ = 0;
};

}  // namespace tvis::capture
