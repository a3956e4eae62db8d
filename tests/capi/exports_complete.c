/*
** Every function of the public header is exported by the shared library:
** this program takes the address of each one, so it links only when the
** library's dynamic symbol table holds them all.
*/
#include <stdio.h>
#include <string.h>

#include "trova_insole_sdk.h"

typedef void (*any_fn)(void);
#define E(f) (any_fn) f

/* clang-format off */
static const any_fn exports[] = {
    E(tvis_initialize_logging), E(tvis_did_receive_data), E(tvis_on_device_disconnected), E(tvis_on_device_ready),
    E(tvis_set_ble_mtu), E(tvis_set_ble_write_callback), E(tvis_set_pressure_callback), E(tvis_set_shear_callback),
    E(tvis_set_imu_callback), E(tvis_set_battery_callback), E(tvis_set_device_info_callback),
    E(tvis_set_device_event_callback), E(tvis_set_dfu_progress_callback), E(tvis_get_device_info),
    E(tvis_free_device_info), E(tvis_free_bytes), E(tvis_build_device_info_request), E(tvis_build_battery_request),
    E(tvis_build_runtime_info_request), E(tvis_build_sensor_config_request), E(tvis_build_device_status_request),
    E(tvis_build_start_sensor_stream_request), E(tvis_build_stop_sensor_stream_request),
    E(tvis_build_device_info_request_with_dest), E(tvis_build_battery_request_with_dest),
    E(tvis_build_runtime_info_request_with_dest), E(tvis_build_sensor_config_request_with_dest),
    E(tvis_build_device_status_request_with_dest), E(tvis_build_start_sensor_stream_request_with_dest),
    E(tvis_build_stop_sensor_stream_request_with_dest), E(tvis_build_set_sensor_config_request),
    E(tvis_build_enable_sensor_stream_request), E(tvis_build_set_sensor_config_request_with_dest),
    E(tvis_build_enable_sensor_stream_request_with_dest), E(tvis_build_sensor_stream_config_request),
    E(tvis_calibrate_pressure), E(tvis_derive_shear), E(tvis_parse_foot_side), E(tvis_start_dfu), E(tvis_abort_dfu),
    E(tvis_start_mock_dfu), E(tvis_start_mock_stream), E(tvis_stop_mock_stream), E(tvis_set_log_callback),
    E(tvis_version), E(tvis_enable_gait), E(tvis_set_gait_event_callback),
};
/* clang-format on */

/* The named values are constant expressions a C host can switch on and
** build tables from, and the log callback type takes a plain C function. */
static int ends_update(int32_t state) {
  switch (state) {
    case TVIS_DFU_COMPLETED:
    case TVIS_DFU_FAILED:
    case TVIS_DFU_ABORTED:
      return 1;
    default:
      return 0;
  }
}
static const char service_uuid[] = TVIS_INSOLE_SERVICE_UUID;
static const uint16_t company_ids[] = {TVIS_COMPANY_ID_TROVA, TVIS_COMPANY_ID_LEGACY};
static void ignore_log(int32_t level, const char* target, const char* message, void* user_data) {
  (void)level, (void)target, (void)message, (void)user_data;
}

int main(void) {
  size_t i, n = sizeof exports / sizeof exports[0];
  for (i = 0; i < n; ++i)
    if (exports[i] == NULL) return 1;
  /* A host compiled against this header runs with the library it loads. */
  if (strcmp(tvis_version(), TVIS_VERSION_STRING) != 0) return 2;
  if (!ends_update(TVIS_DFU_ABORTED) || ends_update(TVIS_DFU_UPLOADING)) return 3;
  if (sizeof service_uuid != 37 || company_ids[0] != 0x5254) return 4;
  tvis_set_log_callback(ignore_log, NULL);
  tvis_set_log_callback(NULL, NULL);
  printf("%u exports resolved\n", (unsigned)n);
  return 0;
}
