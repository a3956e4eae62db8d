#include "python/device_dispatch.h"

#include "runtime/callbacks.h"
#include "runtime/live_gait.h"
#include "runtime/ota_waiter.h"

namespace tvis::py {

void DeviceDispatch::note(void* context, const protocol::InsoleResp& msg, const protocol::SequenceStep* step) {
  auto& self = *static_cast<DeviceDispatch*>(context);
  // The receive path's order within one message: the event, the answer,
  // then what the sample decides.
  if (msg.device_event) self.pending_.emplace_back(*msg.device_event);
  if (msg.ota_resp) self.pending_.emplace_back(*msg.ota_resp);
  if (msg.sensor_data) {
    if (c::LiveGait* gait = self.gait_.enabled_for(self.device_id_.c_str())) {
      TvisGaitEvent event;
      const std::optional<protocol::SequenceStep> known = step ? std::optional(*step) : std::nullopt;
      if (gait->push(*msg.sensor_data, known, event)) self.pending_.emplace_back(event);
    }
  }
}

void DeviceDispatch::deliver() {
  // Taken out first: a callback that pushes into the same parser notes and
  // delivers its own items meanwhile.
  std::vector<Item> items;
  items.swap(pending_);
  for (const Item& item : items) {
    if (auto* event = std::get_if<protocol::DeviceEvent>(&item)) {
      if (auto fn = c::load(c::callbacks().device_event)) {
        TvisDeviceEvent record{event->timestamp_ms, event->type};
        fn(device_id_.c_str(), &record);
      }
    } else if (auto* answer = std::get_if<protocol::OtaResp>(&item)) {
      c::post_ota_response(device_id_, *answer);
    } else {
      TvisGaitEvent event = std::get<TvisGaitEvent>(item);
      event.device_id = device_id_.c_str();
      c::raise_gait_event(event);
    }
  }
  // Keeps the storage for the next call when no callback pushed meanwhile.
  if (pending_.empty()) {
    items.clear();
    pending_.swap(items);
  }
}

}  // namespace tvis::py
