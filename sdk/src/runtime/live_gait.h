// Live gait: per device, the gait tracker fed from the receive path, and the
// callback slot its events go to. A device's tracker exists from the first
// time gait is enabled for its id and is never destroyed (a road may hold a
// pointer to it without a lock); disabling stops feeding it, enabling again
// starts it afresh. Its memory is the tracker's: the detector keeps the
// samples of its 4 s window that can still be a running minimum or maximum,
// so at most two per distinct device millisecond in the window (under 130 KB
// in all) and a few KB at 50 or 100 Hz.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "gait/foot_tracker.h"
#include "protocol/messages.h"
#include "protocol/sequence.h"
#include "trova_insole_sdk.h"

namespace tvis::c {

class LiveGait {
 public:
  bool enabled() const { return enabled_.load(std::memory_order_acquire); }
  void set_enabled(bool on);

  // One sensor message of the device: lost frames before it (the sequence
  // check's step) mark the open stride; a sample with a load is pushed with
  // its own device time. Fills out (all but device_id) and returns true when
  // the sample decided an event. Holds the tracker's lock only meanwhile.
  bool push(const protocol::SensorData& sd, const std::optional<protocol::SequenceStep>& step, TvisGaitEvent& out);

 private:
  double device_time_s(uint32_t timestamp_ms);

  std::atomic<bool> enabled_{false};
  std::mutex mutex_;  // everything below
  gait::FootTracker tracker_;
  bool seen_time_ = false;
  uint32_t last_ms_ = 0;
  uint64_t wraps_ms_ = 0;  // 2^32 per wrap of the insole's 32-bit millisecond clock
};

// Makes (on the first enable) or finds the id's tracker and switches it.
// Disabling an id never enabled makes nothing.
void enable_live_gait(std::string_view device_id, bool on);

// A road's cached pointer to its device's tracker. Looking up costs one
// atomic load until some id is enabled for the first time.
class LiveGaitLink {
 public:
  // The device's tracker when gait is enabled for it, else null.
  LiveGait* enabled_for(const char* device_id) {
    const uint32_t now = generation().load(std::memory_order_acquire);
    if (now != seen_.load(std::memory_order_acquire)) refresh(device_id, now);
    LiveGait* gait = gait_.load(std::memory_order_relaxed);
    return gait && gait->enabled() ? gait : nullptr;
  }

  // Counts trackers made: a road looks its device up again when it moves.
  static std::atomic<uint32_t>& generation();

 private:
  void refresh(const char* device_id, uint32_t now);
  std::atomic<LiveGait*> gait_{nullptr};
  std::atomic<uint32_t> seen_{0};
};

// The gait event slot: a callback and its user data, read together.
void set_gait_event_callback(TvisGaitEventCallback callback, void* user_data);
// Empties the slot if it still holds callback (a face detaching its adapter).
void clear_gait_event_callback_if(TvisGaitEventCallback callback);
// Calls the registered callback, if any, with no SDK lock held.
void raise_gait_event(const TvisGaitEvent& event);

}  // namespace tvis::c
