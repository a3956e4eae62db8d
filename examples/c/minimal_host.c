/*
** minimal_host.c: the smallest host of the insole SDK, in plain C.
**
** A real host owns the BLE radio: it writes the frames the SDK builds to the
** insole's write characteristic and hands every notification it receives to
** tvis_did_receive_data(). Here the "radio" is a few notifications recorded
** from a left and a right insole, so the program runs anywhere.
**
** Build and run it against the SDK installed under /opt/insole (see the
** README); pkg-config and the CMake package both record the library's folder
** in the program, so it runs without LD_LIBRARY_PATH:
**
** $ cc -std=c99 minimal_host.c -o minimal_host $(PKG_CONFIG_PATH=/opt/insole/lib/pkgconfig pkg-config --cflags --libs trova_insole_sdk)
** $ ./minimal_host
** $ cmake -S . -B build -DCMAKE_PREFIX_PATH=/opt/insole && cmake --build build && ./build/minimal_host
*/
#include <stdio.h>

#include "trova_insole_sdk.h"

/* Notifications as an insole sends them: one sensor frame from each foot and
** an event from the left one. */
static const uint8_t kLeftSensorFrame[57] = {
    0x54, 0x52, 0x56, 0x41, 0x02, 0x21, 0x2C, 0x00, 0x02, 0x01, 0x00, 0xF2, 0x01, 0x29, 0x08, 0x02, 0x10, 0x14, 0x18,
    0x01, 0x52, 0x06, 0x18, 0x80, 0x10, 0x20, 0xA4, 0x01, 0x5A, 0x11, 0x12, 0x0F, 0x64, 0xC8, 0x01, 0xAC, 0x02, 0x90,
    0x03, 0xF4, 0x03, 0xD8, 0x04, 0xBC, 0x05, 0xA0, 0x06, 0xA2, 0x01, 0x05, 0x08, 0x57, 0x10, 0xEE, 0x1E, 0x53, 0x13};
static const uint8_t kRightSensorFrame[81] = {
    0x54, 0x52, 0x56, 0x41, 0x02, 0x21, 0x44, 0x00, 0x03, 0x01, 0x00, 0xF2, 0x01, 0x41, 0x08, 0x03, 0x10,
    0x14, 0x18, 0x01, 0x5A, 0x11, 0x12, 0x0F, 0x5A, 0xB4, 0x01, 0x8E, 0x02, 0xE8, 0x02, 0xC2, 0x03, 0x9C,
    0x04, 0xF6, 0x04, 0xD0, 0x05, 0x62, 0x1C, 0x0A, 0x0C, 0x0C, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0x01, 0x07, 0x12, 0x0C, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x05,
    0x00, 0xA2, 0x01, 0x07, 0x08, 0x40, 0x10, 0xE2, 0x1D, 0x18, 0x01, 0x6A, 0x43};
static const uint8_t kLeftWearOnFrame[21] = {0x54, 0x52, 0x56, 0x41, 0x02, 0x21, 0x08, 0x00, 0x02, 0x01, 0x00,
                                             0xFA, 0x01, 0x05, 0x08, 0xD2, 0x09, 0x10, 0x06, 0x67, 0xA3};

static int samples_seen = 0;

static void on_pressure(const char* device_id, const TvisPressureSample* s) {
  int i;
  printf("[%s] pressure seq=%u t=%ums, %u values:", device_id, (unsigned)s->seq_num, (unsigned)s->timestamp_ms,
         (unsigned)s->pressure_count);
  for (i = 0; i < s->pressure_count; ++i) printf(" %d", (int)s->pressure[i]);
  printf("\n");
  samples_seen++;
}

static void on_shear(const char* device_id, const TvisShearSample* s) {
  printf("[%s] shear x=(%d, %d, %d) y=(%d, %d, %d)\n", device_id, (int)s->shear_force_x[0], (int)s->shear_force_x[1],
         (int)s->shear_force_x[2], (int)s->shear_force_y[0], (int)s->shear_force_y[1], (int)s->shear_force_y[2]);
}

static void on_imu(const char* device_id, const TvisImuSample* s) {
  printf("[%s] imu acc=(%.1f, %.1f, %.1f) mg gyro=(%.2f, %.2f, %.2f) dps\n", device_id, s->acc_x_mg, s->acc_y_mg,
         s->acc_z_mg, s->gyro_x_dps, s->gyro_y_dps, s->gyro_z_dps);
}

static void on_battery(const char* device_id, const TvisBatteryInfo* b) {
  printf("[%s] battery %s foot: %u%% %umV status %u\n", device_id, b->device_id == TVIS_DEVICE_RIGHT ? "right" : "left",
         (unsigned)b->battery_pct, (unsigned)b->voltage_mv, (unsigned)b->status);
}

static void on_event(const char* device_id, const TvisDeviceEvent* e) {
  printf("[%s] event type %d at %ums\n", device_id, (int)e->type, (unsigned)e->timestamp_ms);
}

static void print_hex(const char* label, const uint8_t* data, size_t len) {
  size_t i;
  printf("%s (%u bytes):", label, (unsigned)len);
  for (i = 0; i < len; ++i) printf(" %02X", data[i]);
  printf("\n");
}

int main(void) {
  ByteBuffer cmd;
  uint8_t side_payload[] = {3, 0}; /* manufacturer data of an advertisement */
  const char* left = "insole-left";
  const char* right = "insole-right";

  tvis_initialize_logging(2); /* warnings and errors only */
  tvis_set_pressure_callback(on_pressure);
  tvis_set_shear_callback(on_shear);
  tvis_set_imu_callback(on_imu);
  tvis_set_battery_callback(on_battery);
  tvis_set_device_event_callback(on_event);

  /* Which foot is advertising? */
  printf("advertised foot side: %u\n", (unsigned)tvis_parse_foot_side(side_payload, sizeof side_payload));

  /* Ask the left insole to stream at 50 Hz; a host writes these bytes out. */
  cmd = tvis_build_enable_sensor_stream_request(1, 50);
  if (cmd.data == NULL) return 1;
  print_hex("enable stream command", cmd.data, cmd.len);
  tvis_free_bytes(cmd.data, cmd.len);

  /* Notifications come in: whole frames, and one split in two pieces. */
  tvis_did_receive_data(left, kLeftSensorFrame, sizeof kLeftSensorFrame);
  tvis_did_receive_data(right, kRightSensorFrame, 20);
  tvis_did_receive_data(right, kRightSensorFrame + 20, sizeof kRightSensorFrame - 20);
  tvis_did_receive_data(left, kLeftWearOnFrame, sizeof kLeftWearOnFrame);

  tvis_on_device_disconnected(left);
  tvis_on_device_disconnected(right);
  return samples_seen == 2 ? 0 : 1;
}
