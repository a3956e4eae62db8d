// C exports: callback registration.
#include "runtime/callbacks.h"
#include "trova_insole_sdk.h"

using namespace tvis::c;

extern "C" TVIS_API void tvis_set_ble_write_callback(TvisBleWriteCallback cb) { store(callbacks().ble_write, cb); }
extern "C" TVIS_API void tvis_set_pressure_callback(TvisPressureCallback cb) { store(callbacks().pressure, cb); }
extern "C" TVIS_API void tvis_set_shear_callback(TvisShearCallback cb) { store(callbacks().shear, cb); }
extern "C" TVIS_API void tvis_set_imu_callback(TvisImuCallback cb) { store(callbacks().imu, cb); }
extern "C" TVIS_API void tvis_set_battery_callback(TvisBatteryCallback cb) { store(callbacks().battery, cb); }
extern "C" TVIS_API void tvis_set_device_info_callback(TvisDeviceInfoCallback cb) {
  store(callbacks().device_info, cb);
}
extern "C" TVIS_API void tvis_set_device_event_callback(TvisDeviceEventCallback cb) {
  store(callbacks().device_event, cb);
}
extern "C" TVIS_API void tvis_set_dfu_progress_callback(TvisDfuProgressCallback cb) {
  store(callbacks().dfu_progress, cb);
}
