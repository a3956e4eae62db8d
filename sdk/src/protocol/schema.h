// Field tables of every message: number, name, member and (for enumerations)
// the value names. The codec and the JSON rendering walk these tables, so a
// message is described once.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "protocol/messages.h"
#include "util/fixed_texts.h"

namespace tvis::protocol {

struct EnumValueName {
  int32_t value;
  std::string_view name;
};

struct EnumInfo {
  std::span<const EnumValueName> values;

  // The name of a value, or empty for a value outside the table.
  constexpr std::string_view name_of(int32_t v) const {
    for (const auto& e : values)
      if (e.value == v) return e.name;
    return {};
  }
};

// What a field holds, as the codec and the renderer tell field kinds apart:
// sub-messages are optionals, repeated integers are SmallVecs.
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_small_vec : std::false_type {};
template <class T, size_t N>
struct is_small_vec<SmallVec<T, N>> : std::true_type {};

template <class M, class T>
struct Field {
  uint32_t number;
  std::string_view name;
  T M::*member;
  const EnumInfo* enum_info = nullptr;
  // Whether enum_info is set, as a flag of its own: code generated per field
  // asks at compile time, where builds checking null pointers cannot compare
  // an address with null.
  bool is_enum = false;
};

template <class M>
struct Schema;

namespace enums {
#define TVIS_ENUM_NAME(name, value) {value, #name},
inline constexpr EnumValueName kErrorCode[] = {TVIS_ENUM_ERROR_CODE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kBatteryStatus[] = {TVIS_ENUM_BATTERY_STATUS(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kOtaState[] = {TVIS_ENUM_OTA_STATE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kOtaResult[] = {TVIS_ENUM_OTA_RESULT(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kEventType[] = {TVIS_ENUM_EVENT_TYPE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kImuMode[] = {TVIS_ENUM_IMU_MODE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kPressureMode[] = {TVIS_ENUM_PRESSURE_MODE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kShearMode[] = {TVIS_ENUM_SHEAR_MODE(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kDeviceId[] = {TVIS_ENUM_DEVICE_ID(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kStreamCmd[] = {TVIS_ENUM_STREAM_CMD(TVIS_ENUM_NAME)};
inline constexpr EnumValueName kOtaCmd[] = {TVIS_ENUM_OTA_CMD(TVIS_ENUM_NAME)};
#undef TVIS_ENUM_NAME
}  // namespace enums

inline constexpr EnumInfo kErrorCodeEnum{enums::kErrorCode};
inline constexpr EnumInfo kBatteryStatusEnum{enums::kBatteryStatus};
inline constexpr EnumInfo kOtaStateEnum{enums::kOtaState};
inline constexpr EnumInfo kOtaResultEnum{enums::kOtaResult};
inline constexpr EnumInfo kEventTypeEnum{enums::kEventType};
inline constexpr EnumInfo kImuModeEnum{enums::kImuMode};
inline constexpr EnumInfo kPressureModeEnum{enums::kPressureMode};
inline constexpr EnumInfo kShearModeEnum{enums::kShearMode};
inline constexpr EnumInfo kDeviceIdEnum{enums::kDeviceId};
inline constexpr EnumInfo kStreamCmdEnum{enums::kStreamCmd};
inline constexpr EnumInfo kOtaCmdEnum{enums::kOtaCmd};

#define TVIS_FIELD(M, NUM, NAME) Field<M, decltype(M::NAME)>{NUM, #NAME, &M::NAME}
#define TVIS_ENUM_FIELD(M, NUM, NAME, ENUM) Field<M, decltype(M::NAME)>{NUM, #NAME, &M::NAME, &ENUM, true}

template <>
struct Schema<DeviceInfo> {
  static constexpr std::string_view name = "DeviceInfo";
  static constexpr auto fields = std::make_tuple(
      TVIS_ENUM_FIELD(DeviceInfo, 1, device_id, kDeviceIdEnum), TVIS_FIELD(DeviceInfo, 2, serial_number),
      TVIS_FIELD(DeviceInfo, 3, product_id), TVIS_FIELD(DeviceInfo, 4, model_name),
      TVIS_FIELD(DeviceInfo, 5, fw_version), TVIS_FIELD(DeviceInfo, 6, hw_version),
      TVIS_FIELD(DeviceInfo, 7, git_commit), TVIS_FIELD(DeviceInfo, 8, mac));
};

template <>
struct Schema<RuntimeInfo> {
  static constexpr std::string_view name = "RuntimeInfo";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(RuntimeInfo, 1, boot_time), TVIS_FIELD(RuntimeInfo, 2, uptime_ms));
};

template <>
struct Schema<BatteryData> {
  static constexpr std::string_view name = "BatteryData";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(BatteryData, 1, battery_pct), TVIS_FIELD(BatteryData, 2, voltage_mv),
                      TVIS_ENUM_FIELD(BatteryData, 3, status, kBatteryStatusEnum));
};

template <>
struct Schema<ImuOffset> {
  static constexpr std::string_view name = "ImuOffset";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(ImuOffset, 1, acc_offset_x), TVIS_FIELD(ImuOffset, 2, acc_offset_y),
      TVIS_FIELD(ImuOffset, 3, acc_offset_z), TVIS_FIELD(ImuOffset, 4, gyro_offset_x),
      TVIS_FIELD(ImuOffset, 5, gyro_offset_y), TVIS_FIELD(ImuOffset, 6, gyro_offset_z));
};

template <>
struct Schema<ImuConfig> {
  static constexpr std::string_view name = "ImuConfig";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(ImuConfig, 1, acc_subscription), TVIS_FIELD(ImuConfig, 2, gyro_subscription),
      TVIS_FIELD(ImuConfig, 3, sample_rate_hz), TVIS_ENUM_FIELD(ImuConfig, 4, mode, kImuModeEnum),
      TVIS_FIELD(ImuConfig, 5, imu_offset));
};

template <>
struct Schema<PressureConfig> {
  static constexpr std::string_view name = "PressureConfig";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(PressureConfig, 1, subscription), TVIS_FIELD(PressureConfig, 2, sample_rate_hz),
                      TVIS_ENUM_FIELD(PressureConfig, 3, mode, kPressureModeEnum));
};

template <>
struct Schema<ShearOffset> {
  static constexpr std::string_view name = "ShearOffset";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(ShearOffset, 1, shear_offset_x), TVIS_FIELD(ShearOffset, 2, shear_offset_y));
};

template <>
struct Schema<ShearConfig> {
  static constexpr std::string_view name = "ShearConfig";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(ShearConfig, 1, subscription), TVIS_FIELD(ShearConfig, 2, sample_rate_hz),
      TVIS_ENUM_FIELD(ShearConfig, 3, mode, kShearModeEnum), TVIS_FIELD(ShearConfig, 4, shear_offset));
};

template <>
struct Schema<SensorConfig> {
  static constexpr std::string_view name = "SensorConfig";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(SensorConfig, 1, imu_config), TVIS_FIELD(SensorConfig, 2, pressure_config),
                      TVIS_FIELD(SensorConfig, 3, shear_config));
};

template <>
struct Schema<DeviceStatus> {
  static constexpr std::string_view name = "DeviceStatus";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(DeviceStatus, 1, is_wearing), TVIS_FIELD(DeviceStatus, 2, imu_calibrated),
      TVIS_FIELD(DeviceStatus, 3, pressure_calibrated), TVIS_FIELD(DeviceStatus, 4, shear_calibrated),
      TVIS_FIELD(DeviceStatus, 5, hardware_error_flags));
};

template <>
struct Schema<FactoryConfig> {
  static constexpr std::string_view name = "FactoryConfig";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(FactoryConfig, 1, serial_number), TVIS_ENUM_FIELD(FactoryConfig, 2, device_id, kDeviceIdEnum),
      TVIS_FIELD(FactoryConfig, 3, model_name), TVIS_FIELD(FactoryConfig, 4, mac_address),
      TVIS_FIELD(FactoryConfig, 7, factory_key));
};

template <>
struct Schema<ImuData> {
  static constexpr std::string_view name = "ImuData";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(ImuData, 1, acc_x), TVIS_FIELD(ImuData, 2, acc_y), TVIS_FIELD(ImuData, 3, acc_z),
      TVIS_FIELD(ImuData, 4, gyro_x), TVIS_FIELD(ImuData, 5, gyro_y), TVIS_FIELD(ImuData, 6, gyro_z),
      TVIS_FIELD(ImuData, 7, raw_acc_x), TVIS_FIELD(ImuData, 8, raw_acc_y), TVIS_FIELD(ImuData, 9, raw_acc_z),
      TVIS_FIELD(ImuData, 10, raw_gyro_x), TVIS_FIELD(ImuData, 11, raw_gyro_y),
      TVIS_FIELD(ImuData, 12, raw_gyro_z), TVIS_FIELD(ImuData, 13, acc_scale),
      TVIS_FIELD(ImuData, 14, gyro_scale));
};

template <>
struct Schema<PressureData> {
  static constexpr std::string_view name = "PressureData";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(PressureData, 1, pressure), TVIS_FIELD(PressureData, 2, raw_pressure));
};

template <>
struct Schema<ShearData> {
  static constexpr std::string_view name = "ShearData";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(ShearData, 1, shear_force_x), TVIS_FIELD(ShearData, 2, shear_force_y),
                      TVIS_FIELD(ShearData, 3, raw_shear_x), TVIS_FIELD(ShearData, 4, raw_shear_y));
};

template <>
struct Schema<SensorData> {
  static constexpr std::string_view name = "SensorData";
  static constexpr auto fields = std::make_tuple(
      TVIS_ENUM_FIELD(SensorData, 1, device_id, kDeviceIdEnum), TVIS_FIELD(SensorData, 2, timestamp_ms),
      TVIS_FIELD(SensorData, 3, seq_num), TVIS_FIELD(SensorData, 10, imu_data),
      TVIS_FIELD(SensorData, 11, pressure_data), TVIS_FIELD(SensorData, 12, shear_data),
      TVIS_FIELD(SensorData, 20, battery_data));
};

template <>
struct Schema<DeviceEvent> {
  static constexpr std::string_view name = "DeviceEvent";
  // The field is called "type"; its error-stack name is the escaped "r#type".
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(DeviceEvent, 1, timestamp_ms),
      Field<DeviceEvent, int32_t>{2, fixed_texts::kEventTypeFieldPath, &DeviceEvent::type, &kEventTypeEnum, true});
};

template <>
struct Schema<OtaResp> {
  static constexpr std::string_view name = "OtaResp";
  static constexpr auto fields =
      std::make_tuple(TVIS_ENUM_FIELD(OtaResp, 1, state, kOtaStateEnum), TVIS_FIELD(OtaResp, 2, offset),
                      TVIS_ENUM_FIELD(OtaResp, 3, result, kOtaResultEnum));
};

template <>
struct Schema<InsoleResp> {
  static constexpr std::string_view name = "InsoleResp";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(InsoleResp, 1, msg_id), TVIS_ENUM_FIELD(InsoleResp, 2, err_code, kErrorCodeEnum),
      TVIS_FIELD(InsoleResp, 10, device_info), TVIS_FIELD(InsoleResp, 11, runtime_info),
      TVIS_FIELD(InsoleResp, 12, battery_data), TVIS_FIELD(InsoleResp, 13, sensor_config),
      TVIS_FIELD(InsoleResp, 14, device_status), TVIS_FIELD(InsoleResp, 15, factory_config),
      TVIS_FIELD(InsoleResp, 30, sensor_data), TVIS_FIELD(InsoleResp, 31, device_event),
      TVIS_FIELD(InsoleResp, 50, ota_resp));
};

template <>
struct Schema<StreamCtrl> {
  static constexpr std::string_view name = "StreamCtrl";
  static constexpr auto fields = std::make_tuple(TVIS_ENUM_FIELD(StreamCtrl, 1, cmd, kStreamCmdEnum));
};

template <>
struct Schema<OtaReq> {
  static constexpr std::string_view name = "OtaReq";
  static constexpr auto fields = std::make_tuple(
      TVIS_ENUM_FIELD(OtaReq, 1, cmd, kOtaCmdEnum), TVIS_FIELD(OtaReq, 2, file_size),
      TVIS_FIELD(OtaReq, 3, file_crc32), TVIS_FIELD(OtaReq, 4, data), TVIS_FIELD(OtaReq, 5, param5),
      TVIS_FIELD(OtaReq, 6, param6));
};

template <>
struct Schema<OtaData> {
  static constexpr std::string_view name = "OtaData";
  static constexpr auto fields =
      std::make_tuple(TVIS_FIELD(OtaData, 1, offset), TVIS_FIELD(OtaData, 2, data), TVIS_FIELD(OtaData, 3, is_last),
                      TVIS_FIELD(OtaData, 4, seq), TVIS_FIELD(OtaData, 5, crc32));
};

template <>
struct Schema<InsoleReq> {
  static constexpr std::string_view name = "InsoleReq";
  static constexpr auto fields = std::make_tuple(
      TVIS_FIELD(InsoleReq, 1, msg_id), TVIS_FIELD(InsoleReq, 2, timestamp_ms),
      TVIS_FIELD(InsoleReq, 10, get_device_info), TVIS_FIELD(InsoleReq, 11, get_runtime_info),
      TVIS_FIELD(InsoleReq, 12, get_battery), TVIS_FIELD(InsoleReq, 13, get_sensor_config),
      TVIS_FIELD(InsoleReq, 14, get_device_status), TVIS_FIELD(InsoleReq, 15, get_factory_config),
      TVIS_FIELD(InsoleReq, 30, set_sensor_config), TVIS_FIELD(InsoleReq, 31, stream_ctrl),
      TVIS_FIELD(InsoleReq, 32, set_factory_config), TVIS_FIELD(InsoleReq, 50, ota_req),
      TVIS_FIELD(InsoleReq, 51, ota_data));
};

#undef TVIS_FIELD
#undef TVIS_ENUM_FIELD

}  // namespace tvis::protocol
