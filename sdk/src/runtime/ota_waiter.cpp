#include "runtime/ota_waiter.h"

namespace tvis::c {

namespace {

// Runs fn on the device's waiter with the registry locked: the waiter's lock
// nests inside the registry's, never the reverse.
template <class Fn>
bool with_waiter(std::string_view device_id, Fn fn) {
  OtaWaiters& registry = ota_waiters();
  std::lock_guard lock(registry.mutex);
  auto it = registry.map.find(device_id);
  if (it == registry.map.end()) return false;
  fn(*it->second);
  return true;
}

}  // namespace

OtaWaiters& ota_waiters() {
  static OtaWaiters* waiters = new OtaWaiters;
  return *waiters;
}

bool post_ota_response(std::string_view device_id, const protocol::OtaResp& resp) {
  return with_waiter(device_id, [&](OtaWaiter& w) { w.post(resp); });
}

bool abort_ota_update(std::string_view device_id) {
  return with_waiter(device_id, [](OtaWaiter& w) { w.abort(); });
}

}  // namespace tvis::c
