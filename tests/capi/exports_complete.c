/*
** Every function of the public header is exported by the shared library:
** this program takes the address of each one, so it links only when the
** library's dynamic symbol table holds them all.
*/
#include <stdio.h>

#include "trova_insole_sdk.h"

typedef void (*any_fn)(void);

static const any_fn exports[] = {
    (any_fn)tvis_initialize_logging,
    (any_fn)tvis_did_receive_data,
    (any_fn)tvis_on_device_disconnected,
    (any_fn)tvis_on_device_ready,
    (any_fn)tvis_set_ble_mtu,
    (any_fn)tvis_set_ble_write_callback,
    (any_fn)tvis_set_pressure_callback,
    (any_fn)tvis_set_shear_callback,
    (any_fn)tvis_set_imu_callback,
    (any_fn)tvis_set_battery_callback,
    (any_fn)tvis_set_device_info_callback,
    (any_fn)tvis_set_device_event_callback,
    (any_fn)tvis_set_dfu_progress_callback,
    (any_fn)tvis_get_device_info,
    (any_fn)tvis_free_device_info,
    (any_fn)tvis_free_bytes,
    (any_fn)tvis_build_device_info_request,
    (any_fn)tvis_build_battery_request,
    (any_fn)tvis_build_runtime_info_request,
    (any_fn)tvis_build_sensor_config_request,
    (any_fn)tvis_build_device_status_request,
    (any_fn)tvis_build_start_sensor_stream_request,
    (any_fn)tvis_build_stop_sensor_stream_request,
    (any_fn)tvis_build_device_info_request_with_dest,
    (any_fn)tvis_build_battery_request_with_dest,
    (any_fn)tvis_build_runtime_info_request_with_dest,
    (any_fn)tvis_build_sensor_config_request_with_dest,
    (any_fn)tvis_build_device_status_request_with_dest,
    (any_fn)tvis_build_start_sensor_stream_request_with_dest,
    (any_fn)tvis_build_stop_sensor_stream_request_with_dest,
    (any_fn)tvis_build_set_sensor_config_request,
    (any_fn)tvis_build_enable_sensor_stream_request,
    (any_fn)tvis_build_set_sensor_config_request_with_dest,
    (any_fn)tvis_build_enable_sensor_stream_request_with_dest,
    (any_fn)tvis_build_sensor_stream_config_request,
    (any_fn)tvis_calibrate_pressure,
    (any_fn)tvis_derive_shear,
    (any_fn)tvis_parse_foot_side,
    (any_fn)tvis_start_dfu,
    (any_fn)tvis_abort_dfu,
    (any_fn)tvis_start_mock_dfu,
    (any_fn)tvis_start_mock_stream,
    (any_fn)tvis_stop_mock_stream,
};

int main(void) {
  size_t i, n = sizeof exports / sizeof exports[0];
  for (i = 0; i < n; ++i) {
    if (exports[i] == NULL) {
      printf("export %u is missing\n", (unsigned)i);
      return 1;
    }
  }
  printf("%u exports resolved\n", (unsigned)n);
  return n == 43 ? 0 : 1;
}
