#include "runtime/live_gait.h"

#include <memory>

#include "runtime/device_key.h"
#include "runtime/sample_load.h"

namespace tvis::c {

// The header's flags are the tracker's bits.
static_assert(TVIS_STRIDE_FIRST_OF_BOUT == gait::kFirstOfBout && TVIS_STRIDE_LAST_OF_BOUT == gait::kLastOfBout &&
              TVIS_STRIDE_ACROSS_GAP == gait::kAcrossGap && TVIS_STRIDE_OUTLIER == gait::kOutlier);

namespace {

LockedDeviceMap<std::unique_ptr<LiveGait>>& trackers() {
  static auto* map = new LockedDeviceMap<std::unique_ptr<LiveGait>>;
  return *map;
}

struct GaitSlot {
  std::mutex mutex;
  TvisGaitEventCallback callback = nullptr;
  void* user_data = nullptr;
};

GaitSlot& gait_slot() {
  static auto* slot = new GaitSlot;
  return *slot;
}

// Set while any callback is registered, so that the receive path pays for
// the slot's lock only when there is somebody to call.
std::atomic<bool> g_has_callback{false};

}  // namespace

std::atomic<uint32_t>& LiveGaitLink::generation() {
  static constinit std::atomic<uint32_t> made{0};
  return made;
}

void LiveGaitLink::refresh(const char* device_id, uint32_t now) {
  auto& t = trackers();
  std::lock_guard lock(t.mutex);
  auto it = t.map.find(std::string_view(device_id));
  gait_.store(it == t.map.end() ? nullptr : it->second.get(), std::memory_order_relaxed);
  seen_.store(now, std::memory_order_release);
}

void LiveGait::set_enabled(bool on) {
  std::lock_guard lock(mutex_);
  if (on && !enabled_.load(std::memory_order_relaxed)) {
    // A fresh start: nothing from before the pause can close a stride.
    tracker_ = gait::FootTracker();
    seen_time_ = false;
    wraps_ms_ = 0;
  }
  enabled_.store(on, std::memory_order_release);
}

double LiveGait::device_time_s(uint32_t timestamp_ms) {
  // A step back by more than half the clock's range is the clock wrapping
  // (every 49.7 days), not time going backwards.
  if (seen_time_ && timestamp_ms < last_ms_ && last_ms_ - timestamp_ms > 0x80000000u) wraps_ms_ += uint64_t{1} << 32;
  seen_time_ = true;
  last_ms_ = timestamp_ms;
  return static_cast<double>(wraps_ms_ + timestamp_ms) / 1000.0;
}

bool LiveGait::push(const protocol::SensorData& sd, const std::optional<protocol::SequenceStep>& step,
                    TvisGaitEvent& out) {
  const std::optional<SampleLoad> load = sample_load(sd);
  std::lock_guard lock(mutex_);
  if (!enabled_.load(std::memory_order_relaxed)) return false;
  if (step && step->estimated_lost() > 0) tracker_.mark_gap();
  if (!load) return false;
  const gait::FootTracker::Step result = tracker_.push(device_time_s(sd.timestamp_ms), load->value);
  if (!result.event) return false;
  const gait::GaitEvent& e = *result.event;
  out.type = e.type == gait::EventType::kContact ? TVIS_GAIT_CONTACT : TVIS_GAIT_FOOT_OFF;
  out.foot = sd.device_id == protocol::DEVICE_LEFT || sd.device_id == protocol::DEVICE_RIGHT
                 ? static_cast<uint8_t>(sd.device_id)
                 : uint8_t{TVIS_DEVICE_UNKNOWN};
  out.load_unit = load->newtons ? TVIS_LOAD_NEWTONS : TVIS_LOAD_DEVICE_UNITS;
  out.has_stride = result.stride.has_value();
  out.seq_num = sd.seq_num;
  out.time_s = e.time_s;
  out.load = e.load;
  out.sample_index = e.sample_index;
  out.decided_index = e.decided_index;
  out.stride = TvisGaitStride{};
  if (const auto& s = result.stride)
    out.stride = TvisGaitStride{s->contact_s, s->foot_off_s, s->next_contact_s, s->stride_s,
                                s->stance_s,  s->swing_s,    s->flags};
  return true;
}

void enable_live_gait(std::string_view device_id, bool on) {
  auto& t = trackers();
  LiveGait* gait = nullptr;
  {
    std::lock_guard lock(t.mutex);
    auto it = t.map.find(device_id);
    if (it == t.map.end()) {
      if (!on) return;
      it = t.map.try_emplace(std::string(device_id), std::make_unique<LiveGait>()).first;
      LiveGaitLink::generation().fetch_add(1, std::memory_order_acq_rel);
    }
    gait = it->second.get();
  }
  gait->set_enabled(on);
}

void set_gait_event_callback(TvisGaitEventCallback callback, void* user_data) {
  GaitSlot& slot = gait_slot();
  std::lock_guard lock(slot.mutex);
  slot.callback = callback;
  slot.user_data = user_data;
  g_has_callback.store(callback != nullptr, std::memory_order_release);
}

void clear_gait_event_callback_if(TvisGaitEventCallback callback) {
  GaitSlot& slot = gait_slot();
  std::lock_guard lock(slot.mutex);
  if (slot.callback != callback) return;
  slot.callback = nullptr;
  slot.user_data = nullptr;
  g_has_callback.store(false, std::memory_order_release);
}

void raise_gait_event(const TvisGaitEvent& event) {
  if (!g_has_callback.load(std::memory_order_acquire)) return;
  TvisGaitEventCallback callback;
  void* user_data;
  {
    GaitSlot& slot = gait_slot();
    std::lock_guard lock(slot.mutex);
    callback = slot.callback;
    user_data = slot.user_data;
  }
  if (callback) callback(&event, user_data);
}

}  // namespace tvis::c
