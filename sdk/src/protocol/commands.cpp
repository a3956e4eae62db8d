#include "protocol/commands.h"

#include <atomic>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "util/wall_clock.h"

namespace tvis::protocol {

namespace {

// UINT64_MAX means "no override": the real clock never reads that.
std::atomic<uint64_t>& clock_override() {
  static std::atomic<uint64_t> fixed{UINT64_MAX};
  return fixed;
}

}  // namespace

uint64_t wall_clock_ms() {
  const uint64_t fixed = clock_override().load(std::memory_order_relaxed);
  if (fixed != UINT64_MAX) return fixed;
  const int64_t now_ns = wall_clock_ns();
  if (now_ns < 0) return 0;
  return static_cast<uint64_t>(now_ns) / 1000000;
}

void set_wall_clock_override(std::optional<uint64_t> fixed_ms) {
  clock_override().store(fixed_ms.value_or(UINT64_MAX), std::memory_order_relaxed);
}

InsoleReq query_request(uint32_t msg_id, Query query) {
  InsoleReq req;
  req.msg_id = msg_id;
  switch (query) {
    case Query::DeviceInfo: req.get_device_info = true; break;
    case Query::RuntimeInfo: req.get_runtime_info = true; break;
    case Query::Battery: req.get_battery = true; break;
    case Query::SensorConfig: req.get_sensor_config = true; break;
    case Query::DeviceStatus: req.get_device_status = true; break;
    case Query::FactoryConfig: req.get_factory_config = true; break;
  }
  return req;
}

InsoleReq stream_ctrl_request(uint32_t msg_id, StreamCmd cmd) {
  InsoleReq req;
  req.msg_id = msg_id;
  req.stream_ctrl.emplace().cmd = cmd;
  return req;
}

SensorConfig standard_sensor_config(uint32_t sample_rate_hz) {
  const bool on = sample_rate_hz != 0;
  SensorConfig config;
  auto& imu = config.imu_config.emplace();
  imu.acc_subscription = on;
  imu.gyro_subscription = on;
  imu.sample_rate_hz = sample_rate_hz;
  imu.mode = IMU_MODE_CALIBRATED;
  auto& pressure = config.pressure_config.emplace();
  pressure.subscription = on;
  pressure.sample_rate_hz = sample_rate_hz;
  pressure.mode = PRESSURE_MODE_RAW;
  auto& shear = config.shear_config.emplace();
  shear.subscription = false;
  shear.sample_rate_hz = sample_rate_hz;
  shear.mode = SHEAR_MODE_CALIBRATED;
  return config;
}

InsoleReq set_sensor_config_request(uint32_t msg_id, uint32_t sample_rate_hz) {
  InsoleReq req;
  req.msg_id = msg_id;
  req.set_sensor_config = standard_sensor_config(sample_rate_hz);
  return req;
}

InsoleReq enable_sensor_stream_request(uint32_t msg_id, uint32_t sample_rate_hz) {
  InsoleReq req = set_sensor_config_request(msg_id, sample_rate_hz);
  req.stream_ctrl.emplace().cmd = sample_rate_hz != 0 ? STREAM_CMD_START : STREAM_CMD_STOP;
  return req;
}

std::optional<uint32_t> parse_data_mode(std::string_view text) {
  constexpr std::string_view kNames[] = {"calibrated", "raw", "both"};
  static_assert(PRESSURE_MODE_RAW == 1 && SHEAR_MODE_BOTH == 2 && IMU_MODE_CALIBRATED == 0);
  for (uint32_t value = 0; value < std::size(kNames); ++value) {
    const std::string_view name = kNames[value];
    if (text.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < text.size() && same; ++i) {
      const char c = text[i];
      same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == name[i];
    }
    if (same) return value;
  }
  return std::nullopt;
}

std::optional<InsoleReq> sensor_stream_config_request(uint32_t msg_id, const StreamConfig& c) {
  if (c.pressure_mode > 2 || c.shear_mode > 2 || c.imu_mode > 2) return std::nullopt;
  InsoleReq req;
  req.msg_id = msg_id;
  SensorConfig& config = req.set_sensor_config.emplace();
  auto& imu = config.imu_config.emplace();
  imu.acc_subscription = c.acc_enabled;
  imu.gyro_subscription = c.gyro_enabled;
  imu.sample_rate_hz = c.sample_rate_hz;
  imu.mode = static_cast<int32_t>(c.imu_mode);
  auto& pressure = config.pressure_config.emplace();
  pressure.subscription = c.pressure_enabled;
  pressure.sample_rate_hz = c.sample_rate_hz;
  pressure.mode = static_cast<int32_t>(c.pressure_mode);
  auto& shear = config.shear_config.emplace();
  shear.subscription = c.shear_enabled;
  shear.sample_rate_hz = c.sample_rate_hz;
  shear.mode = static_cast<int32_t>(c.shear_mode);
  if (c.start_stream) req.stream_ctrl.emplace().cmd = STREAM_CMD_START;  // never a stop
  return req;
}

InsoleReq set_factory_config_request(uint32_t msg_id, FactoryConfig config) {
  InsoleReq req;
  req.msg_id = msg_id;
  req.set_factory_config = std::move(config);
  return req;
}

Result<std::vector<uint8_t>, std::string> frame_request(const InsoleReq& req, uint8_t dest_id) {
  const std::vector<uint8_t> payload = encode_insole_req(req);
  FrameHeader header;
  header.version = kFrameVersion;
  header.frame_type = kFrameType;
  header.src_id = kHostId;
  header.dest_id = dest_id;
  header.reserved = 0;
  auto frame = encode_frame(header, payload);
  if (!frame) return frame.error().to_string();
  return std::move(frame).value();
}

Result<std::vector<uint8_t>, std::string> build_request_frame(InsoleReq req, uint8_t dest_id) {
  req.timestamp_ms = wall_clock_ms();
  return frame_request(req, dest_id);
}

}  // namespace tvis::protocol
