// The process-wide callback registry: one slot per event kind, empty at start.
// A slot is an atomic function pointer, so storing or copying it never blocks
// and no lock is ever held while a callback runs.
#pragma once

#include <atomic>

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

// Created on first use and never destroyed, so worker threads still running
// at process exit never see it torn down.
inline CallbackSlots& callbacks() {
  static CallbackSlots* slots = new CallbackSlots;
  return *slots;
}

template <class Fn>
Fn load(const std::atomic<Fn>& slot) {
  return slot.load(std::memory_order_acquire);
}

template <class Fn>
void store(std::atomic<Fn>& slot, Fn fn) {
  slot.store(fn, std::memory_order_release);
}

}  // namespace tvis::c
