// C exports: firmware update and its simulated peer. The argument checks are
// final; the update itself is not available in this build yet.
#include "c/boundary.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

extern "C" TVIS_API int32_t tvis_start_dfu(const char* device_id, const uint8_t* firmware, size_t len) {
  if (device_id == nullptr || firmware == nullptr || len == 0) return kErrNull;
  DeviceIdArg id = check_device_id(device_id);
  if (!id.ok()) return id.status;
  return kOk;
}

extern "C" TVIS_API int32_t tvis_abort_dfu(const char* device_id) { return check_device_id(device_id).status; }

extern "C" TVIS_API int32_t tvis_start_mock_dfu(const char* device_id) { return check_device_id(device_id).status; }

extern "C" TVIS_API void tvis_start_mock_stream(const char*) {}

extern "C" TVIS_API void tvis_stop_mock_stream(void) {}
