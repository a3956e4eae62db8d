#include "c/ota_waiter.h"

namespace tvis::c {

OtaWaiters& ota_waiters() {
  static OtaWaiters* waiters = new OtaWaiters;
  return *waiters;
}

bool post_ota_response(std::string_view device_id, const protocol::OtaResp& resp) {
  OtaWaiters& registry = ota_waiters();
  std::lock_guard lock(registry.mutex);
  auto it = registry.map.find(device_id);
  if (it == registry.map.end()) return false;
  it->second->post(resp);  // the waiter's lock nests inside the registry's
  return true;
}

}  // namespace tvis::c
