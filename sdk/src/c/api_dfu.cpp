// C exports: firmware update and its simulated peer.
#include <string>
#include <vector>

#include "c/boundary.h"
#include "dfu/dfu_worker.h"
#include "dfu/mock_dfu.h"
#include "trova_insole_sdk.h"

using namespace tvis;
using namespace tvis::c;

extern "C" TVIS_API int32_t tvis_start_dfu(const char* device_id, const uint8_t* firmware, size_t len) {
  if (device_id == nullptr || firmware == nullptr || len == 0) return kErrNull;
  DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return id.status;
  // A thread that cannot be started (or an image that cannot be copied) is
  // reported, never passed off as a started update.
  return guarded(kErrNull, [&] {
    dfu::start_update(std::string(id.id), std::vector<uint8_t>(firmware, firmware + len));
    return kOk;
  });
}

extern "C" TVIS_API int32_t tvis_abort_dfu(const char* device_id) {
  DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return id.status;
  return guarded(kOk, [&] {
    dfu::abort_update(id.id);
    return kOk;
  });
}

extern "C" TVIS_API int32_t tvis_start_mock_dfu(const char* device_id) {
  DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return id.status;
  return guarded(kErrNull, [&] {
    dfu::start_mock_update(std::string(id.id));
    return kOk;
  });
}
