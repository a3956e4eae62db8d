// The process-wide callback registry: one slot per event kind, empty at start.
// A slot is an atomic function pointer, so storing or copying it never blocks
// and no lock is ever held while a callback runs.
#pragma once

#include <atomic>
#include <type_traits>

#include "trova_insole_sdk.h"

namespace tvis::c {

struct CallbackSlots {
  std::atomic<TvisBleWriteCallback> ble_write{nullptr};
  std::atomic<TvisPressureCallback> pressure{nullptr};
  std::atomic<TvisShearCallback> shear{nullptr};
  std::atomic<TvisImuCallback> imu{nullptr};
  std::atomic<TvisBatteryCallback> battery{nullptr};
  std::atomic<TvisDeviceInfoCallback> device_info{nullptr};
  std::atomic<TvisDeviceEventCallback> device_event{nullptr};
  std::atomic<TvisDfuProgressCallback> dfu_progress{nullptr};
};

// Constant-initialised, so reaching it costs no first-use check, and
// trivially destructible, so nothing tears it down at process exit while
// worker threads may still be running.
inline CallbackSlots& callbacks() {
  static constinit CallbackSlots slots;
  return slots;
}
static_assert(std::is_trivially_destructible_v<CallbackSlots>);

template <class Fn>
Fn load(const std::atomic<Fn>& slot) {
  return slot.load(std::memory_order_acquire);
}

template <class Fn>
void store(std::atomic<Fn>& slot, Fn fn) {
  slot.store(fn, std::memory_order_release);
}

}  // namespace tvis::c
