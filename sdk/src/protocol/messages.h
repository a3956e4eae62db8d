// The protobuf messages in both directions (InsoleResp from the insole,
// InsoleReq to it) as plain structs. Scalars have no presence (0 means unset),
// sub-messages are optional, enumerations are open and kept as int32.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/enums.h"
#include "util/small_vec.h"

namespace tvis::protocol {

// Enumeration values (listed in enums.h). Enumerations are open: a field
// holds any int32.
#define TVIS_ENUMERATOR(name, value) name = value,
enum ErrorCode : int32_t { TVIS_ENUM_ERROR_CODE(TVIS_ENUMERATOR) };
enum BatteryStatus : int32_t { TVIS_ENUM_BATTERY_STATUS(TVIS_ENUMERATOR) };
enum OtaState : int32_t { TVIS_ENUM_OTA_STATE(TVIS_ENUMERATOR) };
enum OtaResult : int32_t { TVIS_ENUM_OTA_RESULT(TVIS_ENUMERATOR) };
enum EventType : int32_t { TVIS_ENUM_EVENT_TYPE(TVIS_ENUMERATOR) };
enum ImuMode : int32_t { TVIS_ENUM_IMU_MODE(TVIS_ENUMERATOR) };
enum PressureMode : int32_t { TVIS_ENUM_PRESSURE_MODE(TVIS_ENUMERATOR) };
enum ShearMode : int32_t { TVIS_ENUM_SHEAR_MODE(TVIS_ENUMERATOR) };
enum DeviceId : int32_t { TVIS_ENUM_DEVICE_ID(TVIS_ENUMERATOR) };
enum StreamCmd : int32_t { TVIS_ENUM_STREAM_CMD(TVIS_ENUMERATOR) };
enum OtaCmd : int32_t { TVIS_ENUM_OTA_CMD(TVIS_ENUMERATOR) };
#undef TVIS_ENUMERATOR

// Inline room of the sensor arrays: 48 pressure cells, 3 shear sensors.
using PressureList = SmallVec<int32_t, 48>;
using ShearList = SmallVec<int32_t, 4>;

struct DeviceInfo {
  int32_t device_id = 0;  // DeviceId
  std::string serial_number;
  uint32_t product_id = 0;
  std::string model_name;
  std::string fw_version;
  std::string hw_version;
  std::string git_commit;
  std::string mac;
  bool operator==(const DeviceInfo&) const = default;
};

struct RuntimeInfo {
  uint64_t boot_time = 0;
  uint64_t uptime_ms = 0;
  bool operator==(const RuntimeInfo&) const = default;
};

struct BatteryData {
  uint32_t battery_pct = 0;
  uint32_t voltage_mv = 0;
  int32_t status = 0;  // BatteryStatus
  bool operator==(const BatteryData&) const = default;
};

struct ImuOffset {
  int32_t acc_offset_x = 0;
  int32_t acc_offset_y = 0;
  int32_t acc_offset_z = 0;
  int32_t gyro_offset_x = 0;
  int32_t gyro_offset_y = 0;
  int32_t gyro_offset_z = 0;
  bool operator==(const ImuOffset&) const = default;
};

struct ImuConfig {
  bool acc_subscription = false;
  bool gyro_subscription = false;
  uint32_t sample_rate_hz = 0;
  int32_t mode = 0;  // ImuMode
  std::optional<ImuOffset> imu_offset;
  bool operator==(const ImuConfig&) const = default;
};

struct PressureConfig {
  bool subscription = false;
  uint32_t sample_rate_hz = 0;
  int32_t mode = 0;  // PressureMode
  bool operator==(const PressureConfig&) const = default;
};

struct ShearOffset {
  int32_t shear_offset_x = 0;
  int32_t shear_offset_y = 0;
  bool operator==(const ShearOffset&) const = default;
};

struct ShearConfig {
  bool subscription = false;
  uint32_t sample_rate_hz = 0;
  int32_t mode = 0;  // ShearMode
  std::optional<ShearOffset> shear_offset;
  bool operator==(const ShearConfig&) const = default;
};

struct SensorConfig {
  std::optional<ImuConfig> imu_config;
  std::optional<PressureConfig> pressure_config;
  std::optional<ShearConfig> shear_config;
  bool operator==(const SensorConfig&) const = default;
};

struct DeviceStatus {
  bool is_wearing = false;
  bool imu_calibrated = false;
  bool pressure_calibrated = false;
  bool shear_calibrated = false;
  uint32_t hardware_error_flags = 0;
  bool operator==(const DeviceStatus&) const = default;
};

struct FactoryConfig {
  std::string serial_number;
  int32_t device_id = 0;  // DeviceId
  std::string model_name;
  std::string mac_address;
  std::string factory_key;
  bool operator==(const FactoryConfig&) const = default;
};

struct ImuData {
  int32_t acc_x = 0, acc_y = 0, acc_z = 0;
  int32_t gyro_x = 0, gyro_y = 0, gyro_z = 0;
  int32_t raw_acc_x = 0, raw_acc_y = 0, raw_acc_z = 0;
  int32_t raw_gyro_x = 0, raw_gyro_y = 0, raw_gyro_z = 0;
  float acc_scale = 0.0f;
  float gyro_scale = 0.0f;
  bool operator==(const ImuData&) const = default;

  // A scale of 0 (absent on the wire) means the sensor's default range:
  // mg per count and degrees per second per count.
  static constexpr float kDefaultAccScale = 0.48828125f;
  static constexpr float kDefaultGyroScale = 0.06103515625f;
  float acc_scale_or_default() const { return acc_scale != 0.0f ? acc_scale : kDefaultAccScale; }
  float gyro_scale_or_default() const { return gyro_scale != 0.0f ? gyro_scale : kDefaultGyroScale; }

  // The six readings in physical units, scale times count: acc x, y, z in mg,
  // then gyro x, y, z in degrees per second. Real is the precision of the
  // product: float is what the SDK reports (C records, JSON, export), the
  // browser view plots in double. Values may be non-finite for absurd scales.
  template <class Real = float>
  std::array<Real, 6> physical() const {
    const Real acc = acc_scale_or_default(), gyro = gyro_scale_or_default();
    return {acc * static_cast<Real>(acc_x),   acc * static_cast<Real>(acc_y),   acc * static_cast<Real>(acc_z),
            gyro * static_cast<Real>(gyro_x), gyro * static_cast<Real>(gyro_y), gyro * static_cast<Real>(gyro_z)};
  }
};

// The array-only messages have an empty constructor on purpose: creating one
// while decoding then costs nothing, where value-initialisation would first
// zero-fill the inline arrays (hundreds of bytes per message).
struct PressureData {
  PressureData() {}
  PressureList pressure;
  PressureList raw_pressure;
  bool operator==(const PressureData&) const = default;
};

struct ShearData {
  ShearData() {}
  ShearList shear_force_x;
  ShearList shear_force_y;
  ShearList raw_shear_x;
  ShearList raw_shear_y;
  bool operator==(const ShearData&) const = default;
};

struct SensorData {
  int32_t device_id = 0;  // DeviceId
  uint32_t timestamp_ms = 0;
  uint32_t seq_num = 0;
  std::optional<ImuData> imu_data;
  std::optional<PressureData> pressure_data;
  std::optional<ShearData> shear_data;
  std::optional<BatteryData> battery_data;
  bool operator==(const SensorData&) const = default;
};

struct DeviceEvent {
  uint32_t timestamp_ms = 0;
  int32_t type = 0;  // EventType
  bool operator==(const DeviceEvent&) const = default;
};

struct OtaResp {
  int32_t state = 0;  // OtaState
  uint32_t offset = 0;
  int32_t result = 0;  // OtaResult
  bool operator==(const OtaResp&) const = default;
};

struct InsoleResp {
  uint32_t msg_id = 0;
  int32_t err_code = 0;  // ErrorCode
  std::optional<DeviceInfo> device_info;
  std::optional<RuntimeInfo> runtime_info;
  std::optional<BatteryData> battery_data;
  std::optional<SensorConfig> sensor_config;
  std::optional<DeviceStatus> device_status;
  std::optional<FactoryConfig> factory_config;
  std::optional<SensorData> sensor_data;
  std::optional<DeviceEvent> device_event;
  std::optional<OtaResp> ota_resp;
  bool operator==(const InsoleResp&) const = default;
};

struct StreamCtrl {
  int32_t cmd = 0;  // StreamCmd
  bool operator==(const StreamCtrl&) const = default;
};

struct OtaReq {
  int32_t cmd = 0;  // OtaCmd
  uint32_t file_size = 0;
  uint32_t file_crc32 = 0;
  std::vector<uint8_t> data;
  uint32_t param5 = 0;
  uint32_t param6 = 0;
  bool operator==(const OtaReq&) const = default;
};

struct OtaData {
  uint32_t offset = 0;
  std::vector<uint8_t> data;
  bool is_last = false;
  uint32_t seq = 0;
  uint32_t crc32 = 0;
  bool operator==(const OtaData&) const = default;
};

struct InsoleReq {
  uint32_t msg_id = 0;
  uint64_t timestamp_ms = 0;
  bool get_device_info = false;
  bool get_runtime_info = false;
  bool get_battery = false;
  bool get_sensor_config = false;
  bool get_device_status = false;
  bool get_factory_config = false;
  std::optional<SensorConfig> set_sensor_config;
  std::optional<StreamCtrl> stream_ctrl;
  std::optional<FactoryConfig> set_factory_config;
  std::optional<OtaReq> ota_req;
  std::optional<OtaData> ota_data;
  bool operator==(const InsoleReq&) const = default;
};

}  // namespace tvis::protocol
