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
    E(tvis_version),
};
/* clang-format on */

int main(void) {
  size_t i, n = sizeof exports / sizeof exports[0];
  for (i = 0; i < n; ++i)
    if (exports[i] == NULL) return 1;
  /* A host compiled against this header runs with the library it loads. */
  if (strcmp(tvis_version(), TVIS_VERSION_STRING) != 0) return 2;
  printf("%u exports resolved\n", (unsigned)n);
  return 0;
}
