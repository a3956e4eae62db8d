// Narrowing of decoded messages into the C records handed to callbacks.
// Inline: they are built on every sensor frame, in the receive path's loop.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "protocol/messages.h"
#include "trova_insole_sdk.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tvis::c {

// The records carry the protocol's numbers unchanged; the header names them.
#define TVIS_SAME(c_name, protocol_name) static_assert(c_name == protocol::protocol_name, #c_name)
TVIS_SAME(TVIS_BATTERY_NORMAL, BATTERY_STATUS_NORMAL);
TVIS_SAME(TVIS_BATTERY_CHARGING, BATTERY_STATUS_CHARGING);
TVIS_SAME(TVIS_BATTERY_FULL, BATTERY_STATUS_FULL);
TVIS_SAME(TVIS_BATTERY_FAULT, BATTERY_STATUS_FAULT);
TVIS_SAME(TVIS_EVENT_MANUAL_POWER_OFF, EVENT_MANUAL_POWER_OFF);
TVIS_SAME(TVIS_EVENT_LOW_BATTERY_POWER_OFF, EVENT_LOW_BATTERY_POWER_OFF);
TVIS_SAME(TVIS_EVENT_TIMEOUT_POWER_OFF, EVENT_TIMEOUT_POWER_OFF);
TVIS_SAME(TVIS_EVENT_CHARGING_CONNECTED, EVENT_CHARGING_CONNECTED);
TVIS_SAME(TVIS_EVENT_CHARGING_DISCONNECTED, EVENT_CHARGING_DISCONNECTED);
TVIS_SAME(TVIS_EVENT_WEAR_ON, EVENT_WEAR_ON);
TVIS_SAME(TVIS_EVENT_WEAR_OFF, EVENT_WEAR_OFF);
TVIS_SAME(TVIS_EVENT_CALIBRATION_SUCCESS, EVENT_CALIBRATION_SUCCESS);
TVIS_SAME(TVIS_EVENT_CALIBRATION_FAILED, EVENT_CALIBRATION_FAILED);
TVIS_SAME(TVIS_DEVICE_LEFT, DEVICE_LEFT);
TVIS_SAME(TVIS_DEVICE_RIGHT, DEVICE_RIGHT);
#undef TVIS_SAME

namespace records_detail {

// The first 48 values, the rest of the array zero, in 16-byte moves. Written
// out because compilers expand a memset or memcpy of this size into a string
// instruction (rep stos, rep movs) whose start-up alone costs more than all
// the moves; the zero vector is hidden from the optimiser so that the
// clearing stays plain stores.
template <class List>
inline uint8_t copy_capped(const List& src, int32_t (&dst)[TVIS_PRESSURE_CHANNELS]) {
  const size_t n = std::min<size_t>(src.size(), TVIS_PRESSURE_CHANNELS);
  const int32_t* s = src.data();
#if defined(__SSE2__)
  __m128i zero = _mm_setzero_si128();
  asm("" : "+x"(zero));
  for (size_t i = 0; i < TVIS_PRESSURE_CHANNELS; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), zero);
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
  for (; i < n; ++i) dst[i] = s[i];
#else
  std::memset(dst, 0, sizeof dst);
  if (n) std::memcpy(dst, s, n * sizeof(int32_t));
#endif
  return static_cast<uint8_t>(n);
}

template <class List>
inline void first_three(const List& src, int32_t (&dst)[TVIS_SHEAR_CHANNELS]) {
  for (size_t i = 0; i < TVIS_SHEAR_CHANNELS; ++i) dst[i] = i < src.size() ? src[i] : 0;
}

inline int16_t saturate16(int32_t v) { return static_cast<int16_t>(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX)); }

}  // namespace records_detail

// Writes every byte of out, padding included, without clearing it first: the
// record is the largest of them.
inline void pressure_record(const protocol::SensorData& sd, const protocol::PressureData& p, TvisPressureSample& r) {
  std::memset(&r, 0, offsetof(TvisPressureSample, pressure));  // the header and its padding
  r.seq_num = sd.seq_num;
  r.timestamp_ms = sd.timestamp_ms;
  // Insoles that send only raw values get them in the main array too.
  r.pressure_count = records_detail::copy_capped(p.pressure.empty() ? p.raw_pressure : p.pressure, r.pressure);
  r.raw_pressure_count = records_detail::copy_capped(p.raw_pressure, r.raw_pressure);
}

inline TvisShearSample shear_record(const protocol::SensorData& sd, const protocol::ShearData& s) {
  TvisShearSample r{};
  r.seq_num = sd.seq_num;
  r.timestamp_ms = sd.timestamp_ms;
  records_detail::first_three(s.shear_force_x, r.shear_force_x);
  records_detail::first_three(s.shear_force_y, r.shear_force_y);
  return r;
}

inline TvisImuSample imu_record(const protocol::SensorData& sd, const protocol::ImuData& imu) {
  TvisImuSample r{};
  r.device_id = static_cast<uint8_t>(sd.device_id);
  r.timestamp_ms = sd.timestamp_ms;
  r.acc_x = records_detail::saturate16(imu.acc_x);
  r.acc_y = records_detail::saturate16(imu.acc_y);
  r.acc_z = records_detail::saturate16(imu.acc_z);
  r.gyro_x = records_detail::saturate16(imu.gyro_x);
  r.gyro_y = records_detail::saturate16(imu.gyro_y);
  r.gyro_z = records_detail::saturate16(imu.gyro_z);
  r.raw_acc_x = imu.raw_acc_x;
  r.raw_acc_y = imu.raw_acc_y;
  r.raw_acc_z = imu.raw_acc_z;
  r.raw_gyro_x = imu.raw_gyro_x;
  r.raw_gyro_y = imu.raw_gyro_y;
  r.raw_gyro_z = imu.raw_gyro_z;
  r.acc_scale = imu.acc_scale_or_default();
  r.gyro_scale = imu.gyro_scale_or_default();
  // Derived values come from the unsaturated readings, in single precision.
  const std::array<float, 6> v = imu.physical();
  r.acc_x_mg = v[0];
  r.acc_y_mg = v[1];
  r.acc_z_mg = v[2];
  r.gyro_x_dps = v[3];
  r.gyro_y_dps = v[4];
  r.gyro_z_dps = v[5];
  return r;
}

inline TvisBatteryInfo battery_record(uint8_t device_id, const protocol::BatteryData& b) {
  TvisBatteryInfo r{};
  r.device_id = device_id;
  r.battery_pct = static_cast<uint8_t>(b.battery_pct);
  r.voltage_mv = static_cast<uint16_t>(b.voltage_mv);
  r.status = static_cast<uint8_t>(b.status);
  return r;
}

// Points the record's texts at the message's own strings, which are
// NUL-terminated and outlive the callback. False when a text holds a NUL
// byte: such a text cannot be passed to C whole.
inline bool device_info_record(const protocol::DeviceInfo& info, TvisDeviceInfo& out) {
  const std::string* texts[] = {&info.serial_number, &info.model_name, &info.fw_version,
                                &info.hw_version,    &info.git_commit, &info.mac};
  for (const std::string* t : texts)
    if (t->find('\0') != std::string::npos) return false;
  out.device_id = static_cast<uint8_t>(info.device_id);
  out.serial_number = const_cast<char*>(info.serial_number.c_str());
  out.product_id = info.product_id;
  out.model_name = const_cast<char*>(info.model_name.c_str());
  out.fw_version = const_cast<char*>(info.fw_version.c_str());
  out.hw_version = const_cast<char*>(info.hw_version.c_str());
  out.git_commit = const_cast<char*>(info.git_commit.c_str());
  out.mac = const_cast<char*>(info.mac.c_str());
  return true;
}

}  // namespace tvis::c
