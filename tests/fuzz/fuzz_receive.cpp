// The C receive path: bytes for several device ids, cut into notifications,
// through tvis_did_receive_data with every receive callback registered; the
// callbacks check the records they get. Disconnects come in between.
//
// Input layout: byte 0 picks the number of devices (1..4); then records of
// [op][len][len bytes]: op bit 7 set disconnects device (op & 3) first; the
// bytes go to device (op & 3) in one call. With op bit 6 set, len is ignored
// and all the rest of the input goes in that call.
#include <algorithm>
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
template <class Record>
void non_null(const char* id, const Record* r) { require(id && r); }
void on_info(const char* id, const TvisDeviceInfo* info) {
  require(id && info);
  for (const char* text : {info->serial_number, info->model_name, info->fw_version, info->hw_version,
                           info->git_commit, info->mac})
    require(text != nullptr && std::strlen(text) < 16394);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tvis_set_pressure_callback(on_pressure);
  tvis_set_shear_callback(non_null<TvisShearSample>);
  tvis_set_imu_callback(non_null<TvisImuSample>);
  tvis_set_battery_callback(non_null<TvisBatteryInfo>);
  tvis_set_device_info_callback(on_info);
  tvis_set_device_event_callback(non_null<TvisDeviceEvent>);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int devices = 1 + (data[0] & 3);
  for (size_t pos = 1, len; pos + 2 <= size; pos += 2 + len) {
    const uint8_t op = data[pos];
    len = (op & 0x40) ? size - pos - 2 : std::min<size_t>(data[pos + 1], size - pos - 2);
    const char* id = kIds[(op & 3) % devices];
    if (op & 0x80) tvis_on_device_disconnected(id);
    tvis_did_receive_data(id, data + pos + 2, len);
  }
  for (int i = 0; i < devices; ++i) tvis_on_device_disconnected(kIds[i]);
  return 0;
}
