// C exports: live gait events from the receive path.
#include "c/boundary.h"
#include "runtime/live_gait.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

extern "C" TVIS_API int32_t tvis_enable_gait(const char* device_id, bool enable) {
  const DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return id.status;
  // Out of memory making the tracker: the id stays as it was.
  return guarded(kErrNull, [&] {
    enable_live_gait(id.id, enable);
    return kOk;
  });
}

extern "C" TVIS_API void tvis_set_gait_event_callback(TvisGaitEventCallback callback, void* user_data) {
  guarded([&] { set_gait_event_callback(callback, user_data); });
}
