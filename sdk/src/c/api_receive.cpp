// C exports: the receive path and connection events.
#include "c/boundary.h"
#include "runtime/receive.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

static_assert(kOk == TVIS_OK && kErrNull == TVIS_ERR_NULL && kErrInvalid == TVIS_ERR_INVALID &&
              kErrTooShort == TVIS_ERR_SHORT);

extern "C" TVIS_API void tvis_did_receive_data(const char* device_id, const uint8_t* data, size_t len) {
  guarded([&] { receive_from_host(device_id, data, len); });
}

extern "C" TVIS_API void tvis_on_device_disconnected(const char* device_id) {
  guarded([&] {
    DeviceIdArg id = check_device_id(device_id);
    if (id.ok()) forget_device(id.id);
  });
}

extern "C" TVIS_API void tvis_on_device_ready(const char*) {}

extern "C" TVIS_API void tvis_set_ble_mtu(const char*, uint16_t) {}
