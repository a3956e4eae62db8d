#include "python/device_dispatch.h"

#include "runtime/callbacks.h"
#include "runtime/ota_waiter.h"

namespace tvis::py {

void DeviceDispatch::note(void* context, const protocol::InsoleResp& msg) {
  auto& self = *static_cast<DeviceDispatch*>(context);
  // The receive path's order within one message: the event, then the answer.
  if (msg.device_event) self.pending_.emplace_back(*msg.device_event);
  if (msg.ota_resp) self.pending_.emplace_back(*msg.ota_resp);
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
    } else {
      c::post_ota_response(device_id_, std::get<protocol::OtaResp>(item));
    }
  }
  // Keeps the storage for the next call when no callback pushed meanwhile.
  if (pending_.empty()) {
    items.clear();
    pending_.swap(items);
  }
}

}  // namespace tvis::py
