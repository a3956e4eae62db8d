/*
** trova_insole_sdk.h: the C interface of the insole host SDK.
**
** The host application owns the radio. It scans, connects and subscribes by
** itself, hands every BLE notification it receives from an insole to
** tvis_did_receive_data(), and writes to the insole the frames the SDK hands
** back (from the command builders, or through the BLE write callback during a
** firmware update). Everything in between is the SDK's.
**
** Conventions:
**   - Every function may be called from any thread at any time.
**   - Texts are NUL-terminated UTF-8. A device id is the host's own name for
**     one insole; per-device state is keyed by its exact bytes.
**   - Functions that can refuse their arguments return int32_t:
**       0  TVIS_OK           success
**      -1  TVIS_ERR_NULL     a NULL pointer (or an empty input where one is
**                            required)
**      -2  TVIS_ERR_INVALID  an invalid device id (not UTF-8) or an invalid foot
**      -3  TVIS_ERR_SHORT    an input or output array shorter than required
**   - The caller owns what it passes in; the SDK copies what it keeps.
**   - Callbacks are called with no SDK lock held, so a callback may call any
**     function here, including the setters. The device id and the record a
**     callback receives live only until the callback returns.
*/
#ifndef TROVA_INSOLE_SDK_H
#define TROVA_INSOLE_SDK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
** The SDK's version: the numbers as macros for the preprocessor, and
** tvis_version() for what the loaded library says of itself (the text it also
** logs on tvis_initialize_logging). A host built against one header and run
** with another library can compare the two.
*/
#define TVIS_VERSION_MAJOR 0
#define TVIS_VERSION_MINOR 2
#define TVIS_VERSION_PATCH 0
#define TVIS_VERSION_STRING "0.2.0"
/* One number that grows with every release: major * 10000 + minor * 100 + patch. */
#define TVIS_VERSION_NUMBER (TVIS_VERSION_MAJOR * 10000 + TVIS_VERSION_MINOR * 100 + TVIS_VERSION_PATCH)

/* The status codes above, by name. */
#define TVIS_OK 0
#define TVIS_ERR_NULL (-1)
#define TVIS_ERR_INVALID (-2)
#define TVIS_ERR_SHORT (-3)

#if defined(__GNUC__)
#define TVIS_API __attribute__((visibility("default")))
#else
#define TVIS_API
#endif

/* Number of pressure cells of one insole, and of shear sensors among them. */
#define TVIS_PRESSURE_CHANNELS 48
#define TVIS_SHEAR_CHANNELS 3

/* Foot-side codes, also the destination ids of command frames. */
#define TVIS_DEVICE_UNKNOWN 0
#define TVIS_DEVICE_LEFT 2
#define TVIS_DEVICE_RIGHT 3

/* TvisBatteryInfo.status. */
#define TVIS_BATTERY_NORMAL 0
#define TVIS_BATTERY_CHARGING 1
#define TVIS_BATTERY_FULL 2
#define TVIS_BATTERY_FAULT 3

/* TvisDeviceEvent.type. Other values are passed through as the insole sent them. */
#define TVIS_EVENT_MANUAL_POWER_OFF 1
#define TVIS_EVENT_LOW_BATTERY_POWER_OFF 2
#define TVIS_EVENT_TIMEOUT_POWER_OFF 3
#define TVIS_EVENT_CHARGING_CONNECTED 4
#define TVIS_EVENT_CHARGING_DISCONNECTED 5
#define TVIS_EVENT_WEAR_ON 6
#define TVIS_EVENT_WEAR_OFF 7
#define TVIS_EVENT_CALIBRATION_SUCCESS 8
#define TVIS_EVENT_CALIBRATION_FAILED 9

/* TvisDfuProgress.state, in the order an update walks through them. The last
** three end an update: each update reports exactly one of them, once. */
#define TVIS_DFU_LOADING 0
#define TVIS_DFU_CHECKSUM 1
#define TVIS_DFU_HANDSHAKE 2
#define TVIS_DFU_UPLOADING 3
#define TVIS_DFU_VERIFYING 4
#define TVIS_DFU_REBOOTING 5
#define TVIS_DFU_COMPLETED 6
#define TVIS_DFU_FAILED 7
#define TVIS_DFU_ABORTED 8

/* Log levels of tvis_initialize_logging() and of the log callback, from the
** most to the least severe. A record passes the filter when its level is at
** most the filter's. */
#define TVIS_LOG_ERROR 1
#define TVIS_LOG_WARN 2
#define TVIS_LOG_INFO 3
#define TVIS_LOG_DEBUG 4
#define TVIS_LOG_TRACE 5

/* How an insole shows itself over BLE. Its advertisements carry manufacturer
** data under one of two company ids (look up TROVA first, then LEGACY); the
** payload after the company id is what tvis_parse_foot_side() reads. Its GATT
** service has two characteristics: TX notifies the host (subscribe, and hand
** each notification to tvis_did_receive_data()), RX takes the host's writes. */
#define TVIS_COMPANY_ID_TROVA 0x5254
#define TVIS_COMPANY_ID_LEGACY 0x5202
#define TVIS_INSOLE_SERVICE_UUID "4de5a20c-0001-ae21-bf63-0242ac130002"
#define TVIS_INSOLE_TX_UUID "4de5a20c-0002-ae21-bf63-0242ac130002"
#define TVIS_INSOLE_RX_UUID "4de5a20c-0003-ae21-bf63-0242ac130002"

/* ------------------------------------------------------------------------ */
/* Records handed to callbacks. Members are in this order with natural C
** alignment; the layout is part of the binary interface. */

/* One pressure sample. pressure holds the calibrated values, or the raw ones
** when the insole sent no calibrated values; entries past a count are 0. */
typedef struct TvisPressureSample {
  uint32_t seq_num;
  uint32_t timestamp_ms;
  uint8_t pressure_count;     /* valid entries in pressure, at most 48 */
  uint8_t raw_pressure_count; /* valid entries in raw_pressure, at most 48 */
  int32_t pressure[TVIS_PRESSURE_CHANNELS];
  int32_t raw_pressure[TVIS_PRESSURE_CHANNELS];
} TvisPressureSample;

/* One shear sample: the first three values of each axis, missing ones 0. */
typedef struct TvisShearSample {
  uint32_t seq_num;
  uint32_t timestamp_ms;
  int32_t shear_force_x[TVIS_SHEAR_CHANNELS];
  int32_t shear_force_y[TVIS_SHEAR_CHANNELS];
} TvisShearSample;

/* One IMU sample. The calibrated readings are saturated to 16 bits; the
** derived values (acceleration in milli-g, rotation in degrees per second)
** are computed in single precision from the unsaturated readings. A scale of
** 0.0 from the insole is replaced by 0.48828125 (acc) or 0.06103515625 (gyro). */
typedef struct TvisImuSample {
  uint8_t device_id; /* 2 left, 3 right */
  uint32_t timestamp_ms;
  int16_t acc_x, acc_y, acc_z;
  int16_t gyro_x, gyro_y, gyro_z;
  int32_t raw_acc_x, raw_acc_y, raw_acc_z;
  int32_t raw_gyro_x, raw_gyro_y, raw_gyro_z;
  float acc_scale;
  float gyro_scale;
  float acc_x_mg, acc_y_mg, acc_z_mg;
  float gyro_x_dps, gyro_y_dps, gyro_z_dps;
} TvisImuSample;

/* Battery state. device_id is the foot of the sensor message that carried it,
** or 2 for a stand-alone battery report. status: 0 normal, 1 charging,
** 2 full, 3 fault (TVIS_BATTERY_*). */
typedef struct TvisBatteryInfo {
  uint8_t device_id;
  uint8_t battery_pct;
  uint16_t voltage_mv;
  uint8_t status;
} TvisBatteryInfo;

/* Identity and versions. Every text is a separate NUL-terminated copy. */
typedef struct TvisDeviceInfo {
  uint8_t device_id;
  char* serial_number;
  uint32_t product_id;
  char* model_name;
  char* fw_version;
  char* hw_version;
  char* git_commit;
  char* mac;
} TvisDeviceInfo;

/* An event raised by the insole. type: 1 manual power off, 2 low-battery
** power off, 3 timeout power off, 4 charging connected, 5 charging
** disconnected, 6 wear on, 7 wear off, 8 calibration success, 9 calibration
** failed (TVIS_EVENT_*); other values are passed through. */
typedef struct TvisDeviceEvent {
  uint32_t timestamp_ms;
  int32_t type;
} TvisDeviceEvent;

/* Progress of a firmware update. state: 0 loading, 1 checksum, 2 handshake,
** 3 uploading, 4 verifying, 5 rebooting, 6 completed, 7 failed, 8 aborted
** (TVIS_DFU_*). Each update ends with exactly one report of state 6, 7 or 8. */
typedef struct TvisDfuProgress {
  int32_t state;
  double percentage; /* 0 to 100 */
  double speed_kbps; /* KiB per second */
  double eta_secs;
  const char* message;
} TvisDfuProgress;

/* One derived shear force, newtons. */
typedef struct TvisShearForce {
  double force_x;
  double force_y;
  double normal_force;
} TvisShearForce;

/*
** A command frame returned by a builder, by value. data points to len bytes
** that the caller owns from then on: write them to the insole's RX
** characteristic (in pieces if the link needs it), then release them with
** tvis_free_bytes(data, len), exactly once, and not with free(): the SDK's
** allocator may not be the host's. Both members are 0 when the builder
** refuses its arguments or memory runs out; that buffer needs no release
** (releasing it does nothing). The name has no tvis prefix for the sake of
** hosts written against earlier versions.
*/
typedef struct ByteBuffer {
  uint8_t* data;
  size_t len;
} ByteBuffer;

/* ------------------------------------------------------------------------ */
/* Callback types. No user-data pointer: each receives the device id and its
** record, valid only during the call. */

typedef void (*TvisBleWriteCallback)(const char* device_id, const uint8_t* data, size_t len);
typedef void (*TvisPressureCallback)(const char* device_id, const TvisPressureSample* sample);
typedef void (*TvisShearCallback)(const char* device_id, const TvisShearSample* sample);
typedef void (*TvisImuCallback)(const char* device_id, const TvisImuSample* sample);
typedef void (*TvisBatteryCallback)(const char* device_id, const TvisBatteryInfo* info);
typedef void (*TvisDeviceInfoCallback)(const char* device_id, const TvisDeviceInfo* info);
typedef void (*TvisDeviceEventCallback)(const char* device_id, const TvisDeviceEvent* event);
typedef void (*TvisDfuProgressCallback)(const char* device_id, const TvisDfuProgress* progress);

/* ------------------------------------------------------------------------ */
/* Logging. */

/*
** Installs the console logger on first use and sets the level filter:
** 1 Error, 2 Warn, 3 Info, 4 Debug, 5 Trace (TVIS_LOG_*); any other value
** selects Info. Until the first call nothing is logged. Then it logs two Info
** lines, "Console logging initialized with level: <Level>" and
** "trova-insole-sdk version: <tvis_version()>". Call again to change the level.
**
** Without a log callback, each record goes to standard output as one line:
**   [Rust][LEVEL][target] message
** The opening "[Rust][" is fixed, whatever the SDK is written in: hosts and
** log collectors match lines by it, so it will not change. LEVEL is ERROR,
** WARN, INFO, DEBUG or TRACE; target names the part of the SDK that logged,
** without its "trova_insole_sdk::" root ("c", "protocol::parser", "dfu").
** Lines from concurrent threads never interleave.
*/
TVIS_API void tvis_initialize_logging(int32_t level);

/*
** Receives the SDK's log records instead of standard output, for hosts whose
** standard output nobody reads (mobile and desktop apps). level is 1 to 5
** (TVIS_LOG_*); target is the full module path ("trova_insole_sdk::c"); message
** is the text alone, without prefix or line feed. Both texts live only until
** the callback returns. user_data is handed back unchanged.
*/
typedef void (*TvisLogCallback)(int32_t level, const char* target, const char* message, void* user_data);

/*
** Sends every record that passes the level filter to callback, with
** user_data, instead of standard output; NULL restores standard output. The
** filter is still set by tvis_initialize_logging(): nothing is logged before
** it is called. The callback may be called from any SDK thread (the receiving
** thread, update and simulation threads), concurrently, and with no SDK lock
** held, so it may call any function here. A record logged by the SDK while
** the callback runs on that thread (it called tvis_initialize_logging(), say)
** goes to standard output, so the callback is never re-entered and cannot
** recurse without end. A record being logged in another thread at the moment
** of the change may still reach the previous callback: keep its user_data
** valid until such calls have returned.
*/
TVIS_API void tvis_set_log_callback(TvisLogCallback callback, void* user_data);

/* The version of the loaded library, "major.minor.patch", a static text. */
TVIS_API const char* tvis_version(void);

/* ------------------------------------------------------------------------ */
/* Receiving. */

/*
** Hands the SDK len bytes received from the insole named device_id (one BLE
** notification, or any piece of the stream; bytes of one device must be fed
** in arrival order). Complete frames are decoded and reported to the
** registered callbacks on the calling thread before this returns, in this
** order per message: device info, device event, (firmware-update answer),
** pressure, shear, IMU, battery. A len above 16394 (the reassembly buffer;
** a whole capture, say) is taken as the notifications it could have come in,
** so no frame in it is lost to the buffer's bound. Does nothing for a NULL or
** non-UTF-8 id, or for NULL data with a non-zero len.
**
** Each distinct device_id keeps a state for the life of the process (so that
** a gap across a reconnect is still seen): about 200 bytes, plus the partly
** received frame, at most 16394 bytes, until it completes or
** tvis_on_device_disconnected() forgets it. Name devices by something stable,
** such as their address, not by connection.
*/
TVIS_API void tvis_did_receive_data(const char* device_id, const uint8_t* data, size_t len);

/* Forgets the partly received frame of device_id. Sequence numbers are kept,
** so a gap across a reconnect is still reported. */
TVIS_API void tvis_on_device_disconnected(const char* device_id);

/* Accepted for symmetry with connection events; has no effect. */
TVIS_API void tvis_on_device_ready(const char* device_id);

/* Accepted for symmetry with connection events; has no effect (firmware
** chunks are 512 bytes whatever the MTU). */
TVIS_API void tvis_set_ble_mtu(const char* device_id, uint16_t mtu);

/* ------------------------------------------------------------------------ */
/* Callback registration. Each setter replaces its process-wide slot; NULL
** empties it. The next event sees the new value; a running callback is not
** interrupted. */

/* Called from a firmware-update thread with a frame to write to the insole. */
TVIS_API void tvis_set_ble_write_callback(TvisBleWriteCallback callback);
TVIS_API void tvis_set_pressure_callback(TvisPressureCallback callback);
TVIS_API void tvis_set_shear_callback(TvisShearCallback callback);
TVIS_API void tvis_set_imu_callback(TvisImuCallback callback);
TVIS_API void tvis_set_battery_callback(TvisBatteryCallback callback);
TVIS_API void tvis_set_device_info_callback(TvisDeviceInfoCallback callback);
TVIS_API void tvis_set_device_event_callback(TvisDeviceEventCallback callback);
/* Called from a firmware-update thread with each stage of the update. */
TVIS_API void tvis_set_dfu_progress_callback(TvisDfuProgressCallback callback);

/* ------------------------------------------------------------------------ */
/* Device information and memory. */

/*
** Returns a new record built from local knowledge only (nothing is sent):
** device_id 2, serial_number "<id>-SERIAL" ("UNKNOWN-SERIAL" for a non-UTF-8
** id), product_id 0, the other texts empty. NULL for a NULL id or when out of
** memory. Release it with tvis_free_device_info().
*/
TVIS_API TvisDeviceInfo* tvis_get_device_info(const char* device_id);

/* Releases a record from tvis_get_device_info(); NULL does nothing. */
TVIS_API void tvis_free_device_info(TvisDeviceInfo* info);

/* Releases the data of a ByteBuffer; does nothing when data is NULL or len 0. */
TVIS_API void tvis_free_bytes(uint8_t* data, size_t len);

/* ------------------------------------------------------------------------ */
/* Command builders. Each returns one complete frame to write to the insole,
** stamped with the wall clock; msg_id is echoed by the insole's answer. The
** plain forms address the left insole (dest_id 2); the _with_dest forms take
** the destination (2 left, 3 right) last. Release with tvis_free_bytes(). */

TVIS_API ByteBuffer tvis_build_device_info_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_battery_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_runtime_info_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_sensor_config_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_device_status_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_start_sensor_stream_request(uint32_t msg_id);
TVIS_API ByteBuffer tvis_build_stop_sensor_stream_request(uint32_t msg_id);

TVIS_API ByteBuffer tvis_build_device_info_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_battery_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_runtime_info_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_sensor_config_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_device_status_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_start_sensor_stream_request_with_dest(uint32_t msg_id, uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_stop_sensor_stream_request_with_dest(uint32_t msg_id, uint8_t dest_id);

/*
** Sets the standard sensor configuration at sample_rate_hz: accelerometer and
** gyroscope on (calibrated), pressure on (raw), shear off; all switched off
** when the rate is 0. The enable form also starts the stream (or stops it
** when the rate is 0).
*/
TVIS_API ByteBuffer tvis_build_set_sensor_config_request(uint32_t msg_id, uint32_t sample_rate_hz);
TVIS_API ByteBuffer tvis_build_enable_sensor_stream_request(uint32_t msg_id, uint32_t sample_rate_hz);
TVIS_API ByteBuffer tvis_build_set_sensor_config_request_with_dest(uint32_t msg_id, uint32_t sample_rate_hz,
                                                                   uint8_t dest_id);
TVIS_API ByteBuffer tvis_build_enable_sensor_stream_request_with_dest(uint32_t msg_id, uint32_t sample_rate_hz,
                                                                      uint8_t dest_id);

/*
** Sets every sensor switch and mode (0 calibrated, 1 raw, 2 both) at one
** sample rate, and starts the stream when start_stream is true (it never
** sends a stop). A mode above 2 returns the empty ByteBuffer.
**
** The five switches are declared bool, but the library reads each as a byte
** (the same calling convention) and takes any non-zero byte as true. So a
** caller through an FFI that passes them as uint8_t (ctypes c_uint8, a C#
** byte) may pass 2 or 255 for true and still gets a well-formed frame.
*/
TVIS_API ByteBuffer tvis_build_sensor_stream_config_request(uint32_t msg_id, uint8_t dest_id, uint32_t sample_rate_hz,
                                                            uint32_t pressure_mode, uint32_t shear_mode,
                                                            uint32_t imu_mode, bool pressure_enabled,
                                                            bool shear_enabled, bool acc_enabled, bool gyro_enabled,
                                                            bool start_stream);

/* ------------------------------------------------------------------------ */
/* Calibration. Pure functions over caller-owned arrays. */

/*
** Converts 48 cell resistances (ohms) of the foot device_id (2 left, 3 right)
** into loads in newtons, rounded to 0.001 N, written to out[0..47]. Checks in
** this order: -1 a NULL array; -3 count < 48 or out_len < 48; -2 another foot.
** Values past the 48th are ignored. Nothing is written on error.
*/
TVIS_API int32_t tvis_calibrate_pressure(const uint32_t* resistances, size_t count, uint8_t device_id, double* out,
                                         size_t out_len);

/*
** Derives the three shear forces of the foot device_id from 48 cell
** resistances and writes them to out[0..2]; out_len counts records. Same
** checks and codes as tvis_calibrate_pressure (out_len < 3 gives -3).
*/
TVIS_API int32_t tvis_derive_shear(const uint32_t* resistances, size_t count, uint8_t device_id, TvisShearForce* out,
                                   size_t out_len);

/* ------------------------------------------------------------------------ */
/* Advertisements. */

/*
** Reads the foot side from a manufacturer payload (the bytes after the
** company id): 3 (right) when the first byte is 3, otherwise 2 (left); 0 for
** NULL data or len 0. The company id is the caller's to check.
*/
TVIS_API uint8_t tvis_parse_foot_side(const uint8_t* data, size_t len);

/* ------------------------------------------------------------------------ */
/* Firmware update. */

/*
** Copies the image and starts a firmware update of device_id on a new
** detached thread; returns at once. The thread writes frames through the BLE
** write callback, reads the insole's answers from tvis_did_receive_data(), and
** reports every stage to the DFU progress callback. An update still running
** for device_id (a retry, a double click) is aborted first: it reports state 8
** once and writes nothing more, and the new one takes over the insole's
** answers. Returns 0 when started, -1 for a NULL id, NULL firmware or len 0,
** -2 for a non-UTF-8 id.
*/
TVIS_API int32_t tvis_start_dfu(const char* device_id, const uint8_t* firmware, size_t len);

/* Aborts the running update of device_id, if any, at whatever stage it is in,
** from the moment tvis_start_dfu() returns: it then reports state 8 promptly,
** whatever the insole answers. Once it has returned, no update of device_id
** hands anything more to the BLE write callback (a write already under way
** is not cut short). Without an update running nothing happens. Returns 0, or -1 for a NULL id, -2 for a non-UTF-8 id. */
TVIS_API int32_t tvis_abort_dfu(const char* device_id);

/*
** Plays the insole's side of a firmware update of device_id on a new thread,
** for hosts without hardware: start tvis_start_dfu() for the same id first.
** Returns 0 when started, -1 for a NULL id, -2 for a non-UTF-8 id.
*/
TVIS_API int32_t tvis_start_mock_dfu(const char* device_id);

/* ------------------------------------------------------------------------ */
/* Simulation. */

/* Starts a simulated sensor stream for device_id (about 50 frames a second
** through the whole receive path, on a thread of its own). One stream per id;
** a NULL or non-UTF-8 id is ignored. */
TVIS_API void tvis_start_mock_stream(const char* device_id);

/* Stops every simulated stream; each ends at its next tick. */
TVIS_API void tvis_stop_mock_stream(void);

#ifdef __cplusplus
}
#endif

#endif /* TROVA_INSOLE_SDK_H */
