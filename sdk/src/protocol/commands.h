// Command builders: fill an InsoleReq for each request an insole understands,
// stamp it with the wall clock and wrap it in a frame ready to write.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "util/result.h"

namespace tvis::protocol {

inline constexpr uint32_t DEFAULT_SAMPLE_RATE_HZ = 50;

// Milliseconds since 1970 from the real-time clock (0 before 1970). Tests can
// pin it with set_wall_clock_override.
uint64_t wall_clock_ms();
void set_wall_clock_override(std::optional<uint64_t> fixed_ms);

// The request messages (msg_id set, timestamp not yet stamped).
enum class Query { DeviceInfo, RuntimeInfo, Battery, SensorConfig, DeviceStatus, FactoryConfig };
InsoleReq query_request(uint32_t msg_id, Query query);
InsoleReq stream_ctrl_request(uint32_t msg_id, StreamCmd cmd);

// The standard configuration at a sample rate: acc and gyro on (calibrated),
// pressure on (raw), shear off; everything off at rate 0. All three parts are
// present whatever the rate.
SensorConfig standard_sensor_config(uint32_t sample_rate_hz);
InsoleReq set_sensor_config_request(uint32_t msg_id, uint32_t sample_rate_hz);
// The standard configuration plus a start (or, at rate 0, a stop).
InsoleReq enable_sensor_stream_request(uint32_t msg_id, uint32_t sample_rate_hz);

struct StreamConfig {
  uint32_t sample_rate_hz = DEFAULT_SAMPLE_RATE_HZ;
  uint32_t pressure_mode = PRESSURE_MODE_RAW;
  uint32_t shear_mode = SHEAR_MODE_CALIBRATED;
  uint32_t imu_mode = IMU_MODE_CALIBRATED;
  bool pressure_enabled = true;
  bool shear_enabled = false;
  bool acc_enabled = true;
  bool gyro_enabled = true;
  bool start_stream = true;
};
// The value of a mode text, any case: "calibrated" 0, "raw" 1, "both" 2 (the
// same numbers in the pressure, shear and IMU mode enumerations). Absent for
// any other text; each caller words its own error.
std::optional<uint32_t> parse_data_mode(std::string_view text);

// Absent when a mode is above 2.
std::optional<InsoleReq> sensor_stream_config_request(uint32_t msg_id, const StreamConfig& config);

InsoleReq set_factory_config_request(uint32_t msg_id, FactoryConfig config);

// Encodes the request as it is and frames it (version 2, type 0x21, source 1,
// the given destination). The error is the display text of the failure.
Result<std::vector<uint8_t>, std::string> frame_request(const InsoleReq& req, uint8_t dest_id);

// Stamps timestamp_ms with the wall clock, then frames the request.
Result<std::vector<uint8_t>, std::string> build_request_frame(InsoleReq req, uint8_t dest_id);

}  // namespace tvis::protocol
