/*
** The records of the public header have their members in the documented
** order, of the documented types, with natural C alignment and no packing.
** Built as C99 against the shared library, so it also proves that the header
** compiles cleanly as C and that the library links from C.
*/
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "trova_insole_sdk.h"

static int failures = 0;

/* Natural alignment of a type, as the compiler lays it out inside a struct. */
#define ALIGN_OF(T) \
  offsetof(         \
      struct {      \
        char c;     \
        T t;        \
      },            \
      t)

static size_t align_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

/* Walks a record member by member: each must sit at the next offset aligned
** for its documented type and have that type's size (times the count). */
struct walk {
  const char* record;
  size_t cursor;
  size_t max_align;
};

static void member(struct walk* w, const char* name, size_t offset, size_t size, size_t elem_size, size_t elem_align,
                   size_t count) {
  size_t expected = align_up(w->cursor, elem_align);
  if (offset != expected || size != elem_size * count) {
    printf("%s.%s: offset %u size %u, expected offset %u size %u\n", w->record, name, (unsigned)offset, (unsigned)size,
           (unsigned)expected, (unsigned)(elem_size * count));
    failures++;
  }
  w->cursor = expected + elem_size * count;
  if (elem_align > w->max_align) w->max_align = elem_align;
}

static void end(struct walk* w, size_t size) {
  size_t expected = align_up(w->cursor, w->max_align);
  if (size != expected) {
    printf("sizeof(%s) = %u, expected %u\n", w->record, (unsigned)size, (unsigned)expected);
    failures++;
  }
}

#define BEGIN(R)                \
  {                             \
    struct walk w = {#R, 0, 1}; \
    R probe;                    \
    (void)probe;
#define M(R, field, T) member(&w, #field, offsetof(R, field), sizeof probe.field, sizeof(T), ALIGN_OF(T), 1)
#define A(R, field, T, n) member(&w, #field, offsetof(R, field), sizeof probe.field, sizeof(T), ALIGN_OF(T), n)
#define END(R)        \
  end(&w, sizeof(R)); \
  }

static void expect_eq(const char* what, size_t got, size_t want) {
  if (got != want) {
    printf("%s = %u, expected %u\n", what, (unsigned)got, (unsigned)want);
    failures++;
  }
}

int main(void) {
  BEGIN(TvisPressureSample)
  M(TvisPressureSample, seq_num, uint32_t);
  M(TvisPressureSample, timestamp_ms, uint32_t);
  M(TvisPressureSample, pressure_count, uint8_t);
  M(TvisPressureSample, raw_pressure_count, uint8_t);
  A(TvisPressureSample, pressure, int32_t, 48);
  A(TvisPressureSample, raw_pressure, int32_t, 48);
  END(TvisPressureSample)

  BEGIN(TvisShearSample)
  M(TvisShearSample, seq_num, uint32_t);
  M(TvisShearSample, timestamp_ms, uint32_t);
  A(TvisShearSample, shear_force_x, int32_t, 3);
  A(TvisShearSample, shear_force_y, int32_t, 3);
  END(TvisShearSample)

  BEGIN(TvisImuSample)
  M(TvisImuSample, device_id, uint8_t);
  M(TvisImuSample, timestamp_ms, uint32_t);
  M(TvisImuSample, acc_x, int16_t);
  M(TvisImuSample, acc_y, int16_t);
  M(TvisImuSample, acc_z, int16_t);
  M(TvisImuSample, gyro_x, int16_t);
  M(TvisImuSample, gyro_y, int16_t);
  M(TvisImuSample, gyro_z, int16_t);
  M(TvisImuSample, raw_acc_x, int32_t);
  M(TvisImuSample, raw_acc_y, int32_t);
  M(TvisImuSample, raw_acc_z, int32_t);
  M(TvisImuSample, raw_gyro_x, int32_t);
  M(TvisImuSample, raw_gyro_y, int32_t);
  M(TvisImuSample, raw_gyro_z, int32_t);
  M(TvisImuSample, acc_scale, float);
  M(TvisImuSample, gyro_scale, float);
  M(TvisImuSample, acc_x_mg, float);
  M(TvisImuSample, acc_y_mg, float);
  M(TvisImuSample, acc_z_mg, float);
  M(TvisImuSample, gyro_x_dps, float);
  M(TvisImuSample, gyro_y_dps, float);
  M(TvisImuSample, gyro_z_dps, float);
  END(TvisImuSample)

  BEGIN(TvisBatteryInfo)
  M(TvisBatteryInfo, device_id, uint8_t);
  M(TvisBatteryInfo, battery_pct, uint8_t);
  M(TvisBatteryInfo, voltage_mv, uint16_t);
  M(TvisBatteryInfo, status, uint8_t);
  END(TvisBatteryInfo)

  BEGIN(TvisDeviceInfo)
  M(TvisDeviceInfo, device_id, uint8_t);
  M(TvisDeviceInfo, serial_number, char*);
  M(TvisDeviceInfo, product_id, uint32_t);
  M(TvisDeviceInfo, model_name, char*);
  M(TvisDeviceInfo, fw_version, char*);
  M(TvisDeviceInfo, hw_version, char*);
  M(TvisDeviceInfo, git_commit, char*);
  M(TvisDeviceInfo, mac, char*);
  END(TvisDeviceInfo)

  BEGIN(TvisDeviceEvent)
  M(TvisDeviceEvent, timestamp_ms, uint32_t);
  M(TvisDeviceEvent, type, int32_t);
  END(TvisDeviceEvent)

  BEGIN(TvisDfuProgress)
  M(TvisDfuProgress, state, int32_t);
  M(TvisDfuProgress, percentage, double);
  M(TvisDfuProgress, speed_kbps, double);
  M(TvisDfuProgress, eta_secs, double);
  M(TvisDfuProgress, message, const char*);
  END(TvisDfuProgress)

  BEGIN(TvisShearForce)
  M(TvisShearForce, force_x, double);
  M(TvisShearForce, force_y, double);
  M(TvisShearForce, normal_force, double);
  END(TvisShearForce)

  BEGIN(ByteBuffer)
  M(ByteBuffer, data, uint8_t*);
  M(ByteBuffer, len, size_t);
  END(ByteBuffer)

  /* The figures a host binding hard-codes, on the usual 64-bit ABI. */
  expect_eq("offsetof(TvisPressureSample, pressure)", offsetof(TvisPressureSample, pressure), 12);
  expect_eq("offsetof(TvisPressureSample, raw_pressure)", offsetof(TvisPressureSample, raw_pressure), 204);
  expect_eq("sizeof(TvisPressureSample)", sizeof(TvisPressureSample), 396);
  expect_eq("sizeof(TvisShearSample)", sizeof(TvisShearSample), 32);
  expect_eq("sizeof(TvisImuSample)", sizeof(TvisImuSample), 76);
  expect_eq("sizeof(TvisBatteryInfo)", sizeof(TvisBatteryInfo), 6);
  expect_eq("sizeof(TvisDeviceEvent)", sizeof(TvisDeviceEvent), 8);
  expect_eq("sizeof(TvisShearForce)", sizeof(TvisShearForce), 24);
  if (sizeof(void*) == 8) {
    expect_eq("sizeof(TvisDeviceInfo)", sizeof(TvisDeviceInfo), 64);
    expect_eq("sizeof(TvisDfuProgress)", sizeof(TvisDfuProgress), 40);
    expect_eq("sizeof(ByteBuffer)", sizeof(ByteBuffer), 16);
  }

  /* A few calls through the shared library. */
  {
    const uint8_t right[] = {3, 0};
    ByteBuffer frame = tvis_build_battery_request(1);
    TvisDeviceInfo* info = tvis_get_device_info("left");
    expect_eq("tvis_parse_foot_side(03 00)", tvis_parse_foot_side(right, sizeof right), 3);
    expect_eq("tvis_parse_foot_side(NULL)", tvis_parse_foot_side(NULL, 0), 0);
    expect_eq("battery request length", frame.len, 24);
    if (frame.data == NULL || memcmp(frame.data, "TRVA", 4) != 0) {
      printf("battery request does not start with the magic\n");
      failures++;
    }
    if (info == NULL || strcmp(info->serial_number, "left-SERIAL") != 0) {
      printf("tvis_get_device_info(\"left\") is wrong\n");
      failures++;
    }
    tvis_free_bytes(frame.data, frame.len);
    tvis_free_device_info(info);
  }

  if (failures) printf("%d layout check(s) failed\n", failures);
  return failures ? 1 : 0;
}
