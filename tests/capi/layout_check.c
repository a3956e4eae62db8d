/*
** The records of the public header have their members in the documented
** order and sizes with natural C alignment, as a host binding hard-codes
** them on the usual 64-bit ABI. Built as C99 against the shared library, so
** it also proves that the header compiles cleanly as C.
*/
#include <stddef.h>
#include <stdio.h>

#include "trova_insole_sdk.h"

/* clang-format off */
/* Member m of record T at this offset and of this size; the size of T. */
#define F(T, m, off, size) {#T "." #m, offsetof(T, m), off, sizeof(((T*)0)->m), size}
#define S(T, size) {"sizeof " #T, 0, 0, sizeof(T), size}

static const struct {
  const char* what;
  size_t offset, want_offset, size, want_size;
} checks[] = {
    F(TvisPressureSample, seq_num, 0, 4), F(TvisPressureSample, timestamp_ms, 4, 4),
    F(TvisPressureSample, pressure_count, 8, 1), F(TvisPressureSample, raw_pressure_count, 9, 1),
    F(TvisPressureSample, pressure, 12, 192), F(TvisPressureSample, raw_pressure, 204, 192),
    S(TvisPressureSample, 396),
    F(TvisShearSample, seq_num, 0, 4), F(TvisShearSample, timestamp_ms, 4, 4),
    F(TvisShearSample, shear_force_x, 8, 12), F(TvisShearSample, shear_force_y, 20, 12), S(TvisShearSample, 32),
    F(TvisImuSample, device_id, 0, 1), F(TvisImuSample, timestamp_ms, 4, 4), F(TvisImuSample, acc_x, 8, 2),
    F(TvisImuSample, acc_y, 10, 2), F(TvisImuSample, acc_z, 12, 2), F(TvisImuSample, gyro_x, 14, 2),
    F(TvisImuSample, gyro_y, 16, 2), F(TvisImuSample, gyro_z, 18, 2), F(TvisImuSample, raw_acc_x, 20, 4),
    F(TvisImuSample, raw_acc_y, 24, 4), F(TvisImuSample, raw_acc_z, 28, 4), F(TvisImuSample, raw_gyro_x, 32, 4),
    F(TvisImuSample, raw_gyro_y, 36, 4), F(TvisImuSample, raw_gyro_z, 40, 4), F(TvisImuSample, acc_scale, 44, 4),
    F(TvisImuSample, gyro_scale, 48, 4), F(TvisImuSample, acc_x_mg, 52, 4), F(TvisImuSample, acc_y_mg, 56, 4),
    F(TvisImuSample, acc_z_mg, 60, 4), F(TvisImuSample, gyro_x_dps, 64, 4), F(TvisImuSample, gyro_y_dps, 68, 4),
    F(TvisImuSample, gyro_z_dps, 72, 4), S(TvisImuSample, 76),
    F(TvisBatteryInfo, device_id, 0, 1), F(TvisBatteryInfo, battery_pct, 1, 1), F(TvisBatteryInfo, voltage_mv, 2, 2),
    F(TvisBatteryInfo, status, 4, 1), S(TvisBatteryInfo, 6),
    F(TvisDeviceInfo, device_id, 0, 1), F(TvisDeviceInfo, serial_number, 8, 8), F(TvisDeviceInfo, product_id, 16, 4),
    F(TvisDeviceInfo, model_name, 24, 8), F(TvisDeviceInfo, fw_version, 32, 8), F(TvisDeviceInfo, hw_version, 40, 8),
    F(TvisDeviceInfo, git_commit, 48, 8), F(TvisDeviceInfo, mac, 56, 8), S(TvisDeviceInfo, 64),
    F(TvisDeviceEvent, timestamp_ms, 0, 4), F(TvisDeviceEvent, type, 4, 4), S(TvisDeviceEvent, 8),
    F(TvisDfuProgress, state, 0, 4), F(TvisDfuProgress, percentage, 8, 8), F(TvisDfuProgress, speed_kbps, 16, 8),
    F(TvisDfuProgress, eta_secs, 24, 8), F(TvisDfuProgress, message, 32, 8), S(TvisDfuProgress, 40),
    F(TvisShearForce, force_x, 0, 8), F(TvisShearForce, force_y, 8, 8), F(TvisShearForce, normal_force, 16, 8),
    S(TvisShearForce, 24),
    F(TvisGaitStride, contact_s, 0, 8), F(TvisGaitStride, foot_off_s, 8, 8), F(TvisGaitStride, next_contact_s, 16, 8),
    F(TvisGaitStride, stride_s, 24, 8), F(TvisGaitStride, stance_s, 32, 8), F(TvisGaitStride, swing_s, 40, 8),
    F(TvisGaitStride, flags, 48, 4), S(TvisGaitStride, 56),
    F(TvisGaitEvent, device_id, 0, 8), F(TvisGaitEvent, type, 8, 4), F(TvisGaitEvent, foot, 12, 1),
    F(TvisGaitEvent, load_unit, 13, 1), F(TvisGaitEvent, has_stride, 14, 1), F(TvisGaitEvent, seq_num, 16, 4),
    F(TvisGaitEvent, time_s, 24, 8), F(TvisGaitEvent, load, 32, 8), F(TvisGaitEvent, sample_index, 40, 8),
    F(TvisGaitEvent, decided_index, 48, 8), F(TvisGaitEvent, stride, 56, 56), S(TvisGaitEvent, 112),
    F(ByteBuffer, data, 0, 8), F(ByteBuffer, len, 8, 8), S(ByteBuffer, 16),
};
/* clang-format on */

int main(void) {
  size_t i, failures = 0;
  if (sizeof(void*) != 8) return printf("the layout figures are those of 64-bit hosts: skipped\n") < 0;
  for (i = 0; i < sizeof checks / sizeof checks[0]; ++i)
    if (checks[i].offset != checks[i].want_offset || checks[i].size != checks[i].want_size)
      failures += printf("%s: offset %u size %u, expected offset %u size %u\n", checks[i].what,
                         (unsigned)checks[i].offset, (unsigned)checks[i].size, (unsigned)checks[i].want_offset,
                         (unsigned)checks[i].want_size) > 0;
  return failures ? 1 : 0;
}
