// The one-slot mailbox between the receive path and a firmware-update thread,
// and its process-wide registry by device id. Posting replaces an answer not
// yet taken (the latest wins). Lock order: the registry, then one waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "c/device_key.h"
#include "protocol/messages.h"

namespace tvis::c {

class OtaWaiter {
 public:
  void post(const protocol::OtaResp& resp) {
    {
      std::lock_guard lock(mutex_);
      slot_ = resp;
    }
    cv_.notify_all();
  }

  // Takes the answer waiting in the slot, or waits up to timeout for one.
  std::optional<protocol::OtaResp> take(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return slot_.has_value(); });
    std::optional<protocol::OtaResp> taken = std::move(slot_);
    slot_.reset();
    return taken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<protocol::OtaResp> slot_;
};

using OtaWaiters = LockedDeviceMap<std::shared_ptr<OtaWaiter>>;

OtaWaiters& ota_waiters();

// Posts into the waiter registered for the device; without one the answer is
// dropped. Returns whether a waiter took it.
bool post_ota_response(std::string_view device_id, const protocol::OtaResp& resp);

}  // namespace tvis::c
