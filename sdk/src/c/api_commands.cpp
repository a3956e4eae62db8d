// C exports: command builders and the release of their frames.
#include <cstdlib>
#include <cstring>

#include "c/boundary.h"
#include "protocol/commands.h"

// The sensor-stream builder is declared with five bool switches, and C callers
// keep to that. A foreign-function layer passing plain bytes may hand over any
// byte, though, and every non-zero byte must mean true; read as a C++ bool such
// a byte is undefined, and in practice it was copied unchanged into the request,
// where the encoder sized the field by the byte's value and then wrote a 1.
// This file therefore defines the function with byte switches (the calling
// convention is the same) and keeps the bool declaration out of sight.
#define tvis_build_sensor_stream_config_request tvis_build_sensor_stream_config_request_as_declared
#include "trova_insole_sdk.h"
#undef tvis_build_sensor_stream_config_request

using namespace tvis::protocol;
using tvis::c::guarded;

namespace {

constexpr uint8_t kLeft = DEVICE_LEFT;

// Stamps and frames the request into a malloc'ed block the host releases with
// tvis_free_bytes; the empty buffer on any failure.
ByteBuffer to_byte_buffer(const InsoleReq& req, uint8_t dest_id) {
  return guarded(ByteBuffer{nullptr, 0}, [&] {
    auto frame = build_request_frame(req, dest_id);
    if (!frame || frame->empty()) return ByteBuffer{nullptr, 0};
    auto* data = static_cast<uint8_t*>(std::malloc(frame->size()));
    if (data == nullptr) return ByteBuffer{nullptr, 0};
    std::memcpy(data, frame->data(), frame->size());
    return ByteBuffer{data, frame->size()};
  });
}

ByteBuffer query(uint32_t msg_id, Query q, uint8_t dest_id) {
  return guarded(ByteBuffer{nullptr, 0}, [&] { return to_byte_buffer(query_request(msg_id, q), dest_id); });
}

ByteBuffer stream_ctrl(uint32_t msg_id, StreamCmd cmd, uint8_t dest_id) {
  return guarded(ByteBuffer{nullptr, 0}, [&] { return to_byte_buffer(stream_ctrl_request(msg_id, cmd), dest_id); });
}

ByteBuffer set_config(uint32_t msg_id, uint32_t rate, uint8_t dest_id) {
  return guarded(ByteBuffer{nullptr, 0},
                 [&] { return to_byte_buffer(set_sensor_config_request(msg_id, rate), dest_id); });
}

ByteBuffer enable_stream(uint32_t msg_id, uint32_t rate, uint8_t dest_id) {
  return guarded(ByteBuffer{nullptr, 0},
                 [&] { return to_byte_buffer(enable_sensor_stream_request(msg_id, rate), dest_id); });
}

}  // namespace

extern "C" {

TVIS_API void tvis_free_bytes(uint8_t* data, size_t len) {
  if (data != nullptr && len != 0) std::free(data);
}

TVIS_API ByteBuffer tvis_build_device_info_request(uint32_t msg_id) { return query(msg_id, Query::DeviceInfo, kLeft); }
TVIS_API ByteBuffer tvis_build_battery_request(uint32_t msg_id) { return query(msg_id, Query::Battery, kLeft); }
TVIS_API ByteBuffer tvis_build_runtime_info_request(uint32_t msg_id) {
  return query(msg_id, Query::RuntimeInfo, kLeft);
}
TVIS_API ByteBuffer tvis_build_sensor_config_request(uint32_t msg_id) {
  return query(msg_id, Query::SensorConfig, kLeft);
}
TVIS_API ByteBuffer tvis_build_device_status_request(uint32_t msg_id) {
  return query(msg_id, Query::DeviceStatus, kLeft);
}
TVIS_API ByteBuffer tvis_build_start_sensor_stream_request(uint32_t msg_id) {
  return stream_ctrl(msg_id, STREAM_CMD_START, kLeft);
}
TVIS_API ByteBuffer tvis_build_stop_sensor_stream_request(uint32_t msg_id) {
  return stream_ctrl(msg_id, STREAM_CMD_STOP, kLeft);
}

TVIS_API ByteBuffer tvis_build_device_info_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return query(msg_id, Query::DeviceInfo, dest_id);
}
TVIS_API ByteBuffer tvis_build_battery_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return query(msg_id, Query::Battery, dest_id);
}
TVIS_API ByteBuffer tvis_build_runtime_info_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return query(msg_id, Query::RuntimeInfo, dest_id);
}
TVIS_API ByteBuffer tvis_build_sensor_config_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return query(msg_id, Query::SensorConfig, dest_id);
}
TVIS_API ByteBuffer tvis_build_device_status_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return query(msg_id, Query::DeviceStatus, dest_id);
}
TVIS_API ByteBuffer tvis_build_start_sensor_stream_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return stream_ctrl(msg_id, STREAM_CMD_START, dest_id);
}
TVIS_API ByteBuffer tvis_build_stop_sensor_stream_request_with_dest(uint32_t msg_id, uint8_t dest_id) {
  return stream_ctrl(msg_id, STREAM_CMD_STOP, dest_id);
}

TVIS_API ByteBuffer tvis_build_set_sensor_config_request(uint32_t msg_id, uint32_t sample_rate_hz) {
  return set_config(msg_id, sample_rate_hz, kLeft);
}
TVIS_API ByteBuffer tvis_build_enable_sensor_stream_request(uint32_t msg_id, uint32_t sample_rate_hz) {
  return enable_stream(msg_id, sample_rate_hz, kLeft);
}
TVIS_API ByteBuffer tvis_build_set_sensor_config_request_with_dest(uint32_t msg_id, uint32_t sample_rate_hz,
                                                                   uint8_t dest_id) {
  return set_config(msg_id, sample_rate_hz, dest_id);
}
TVIS_API ByteBuffer tvis_build_enable_sensor_stream_request_with_dest(uint32_t msg_id, uint32_t sample_rate_hz,
                                                                      uint8_t dest_id) {
  return enable_stream(msg_id, sample_rate_hz, dest_id);
}

TVIS_API ByteBuffer tvis_build_sensor_stream_config_request(uint32_t msg_id, uint8_t dest_id, uint32_t sample_rate_hz,
                                                            uint32_t pressure_mode, uint32_t shear_mode,
                                                            uint32_t imu_mode, uint8_t pressure_enabled,
                                                            uint8_t shear_enabled, uint8_t acc_enabled,
                                                            uint8_t gyro_enabled, uint8_t start_stream) {
  return guarded(ByteBuffer{nullptr, 0}, [&] {
    StreamConfig config{sample_rate_hz,        pressure_mode,      shear_mode,         imu_mode,
                        pressure_enabled != 0, shear_enabled != 0, acc_enabled != 0,   gyro_enabled != 0,
                        start_stream != 0};
    auto req = sensor_stream_config_request(msg_id, config);
    return req ? to_byte_buffer(*req, dest_id) : ByteBuffer{nullptr, 0};
  });
}

}  // extern "C"
