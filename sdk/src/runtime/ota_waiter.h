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

#include "runtime/device_key.h"
#include "protocol/messages.h"

namespace tvis::c {

class OtaWaiter {
 public:
  // An update registers its mailbox as soon as it is started, so that an
  // abort can reach it at once, but answers the insole sends before the
  // handshake belong to no exchange of this update: a closed mailbox drops
  // them, as if nobody were registered yet.
  explicit OtaWaiter(bool open = true) : open_(open) {}

  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
  }

  void post(const protocol::OtaResp& resp) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      slot_ = resp;
    }
    cv_.notify_all();
  }

  // The host's abort is kept apart from the slot: no answer, early or late,
  // may overwrite it, and it stays set until the update has seen it.
  void abort() {
    {
      std::lock_guard lock(mutex_);
      aborted_ = true;
    }
    cv_.notify_all();
  }

  // Pauses up to d, cut short by an abort; returns whether one was asked for.
  bool aborted_within(std::chrono::nanoseconds d) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, d, [this] { return aborted_; });
  }
  bool aborted() { return aborted_within(std::chrono::nanoseconds::zero()); }

  // Takes the answer waiting in the slot, or waits up to timeout for one. An
  // abort comes back as the insole's own ABORT answer and wins over any other.
  std::optional<protocol::OtaResp> take(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return aborted_ || slot_.has_value(); });
    if (aborted_) {
      protocol::OtaResp abort;
      abort.state = protocol::ABORT;
      return abort;
    }
    std::optional<protocol::OtaResp> taken = std::move(slot_);
    slot_.reset();
    return taken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<protocol::OtaResp> slot_;
  bool open_;
  bool aborted_ = false;
};

using OtaWaiters = LockedDeviceMap<std::shared_ptr<OtaWaiter>>;

OtaWaiters& ota_waiters();

// Posts into the waiter registered for the device; without one the answer is
// dropped. Returns whether a waiter was registered.
bool post_ota_response(std::string_view device_id, const protocol::OtaResp& resp);

// Marks the update registered for the device as aborted; without one nothing
// happens, so no abort lingers for a later update. Returns whether one was.
bool abort_ota_update(std::string_view device_id);

}  // namespace tvis::c
