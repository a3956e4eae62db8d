// The C receive path: bytes for several device ids, cut into notifications,
// through tvis_did_receive_data with every receive callback registered; the
// callbacks check the records they get. Disconnects come in between.
//
// Input layout: byte 0 picks the number of devices (1..4); then records of
// [op][len][len bytes]: op bit 7 set disconnects device (op & 3) first; the
// bytes go to device (op & 3) in one call.
#include <cstdint>
#include <cstring>
#include <string>

#include "trova_insole_sdk.h"

namespace {

inline void require(bool ok) {
  if (!ok) __builtin_trap();
}

const char* const kIds[] = {"left", "right", "\xC3\xA9-insole", ""};

void on_pressure(const char* id, const TvisPressureSample* s) {
  require(id != nullptr && s != nullptr);
  require(s->pressure_count <= TVIS_PRESSURE_CHANNELS && s->raw_pressure_count <= TVIS_PRESSURE_CHANNELS);
  for (int i = s->pressure_count; i < TVIS_PRESSURE_CHANNELS; ++i) require(s->pressure[i] == 0);
  for (int i = s->raw_pressure_count; i < TVIS_PRESSURE_CHANNELS; ++i) require(s->raw_pressure[i] == 0);
}
void on_shear(const char* id, const TvisShearSample* s) { require(id && s); }
void on_imu(const char* id, const TvisImuSample* s) { require(id && s); }
void on_battery(const char* id, const TvisBatteryInfo* b) { require(id && b); }
void on_info(const char* id, const TvisDeviceInfo* info) {
  require(id && info);
  for (const char* text : {info->serial_number, info->model_name, info->fw_version, info->hw_version,
                           info->git_commit, info->mac})
    require(text != nullptr && std::strlen(text) < 16394);
}
void on_event(const char* id, const TvisDeviceEvent* e) { require(id && e); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool registered = [] {
    tvis_set_pressure_callback(on_pressure);
    tvis_set_shear_callback(on_shear);
    tvis_set_imu_callback(on_imu);
    tvis_set_battery_callback(on_battery);
    tvis_set_device_info_callback(on_info);
    tvis_set_device_event_callback(on_event);
    return true;
  }();
  (void)registered;
  if (size == 0) return 0;
  const int devices = 1 + (data[0] & 3);
  size_t pos = 1;
  while (pos + 2 <= size) {
    const uint8_t op = data[pos];
    size_t len = data[pos + 1];
    pos += 2;
    if (len > size - pos) len = size - pos;
    const char* id = kIds[(op & 3) % devices];
    if (op & 0x80) tvis_on_device_disconnected(id);
    tvis_did_receive_data(id, data + pos, len);
    pos += len;
  }
  for (int i = 0; i < devices; ++i) tvis_on_device_disconnected(kIds[i]);
  return 0;
}
