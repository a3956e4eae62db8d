// Narrowing of decoded messages into the C records handed to callbacks.
#pragma once

#include "protocol/messages.h"
#include "trova_insole_sdk.h"

namespace tvis::c {

TvisPressureSample pressure_record(const protocol::SensorData& sd, const protocol::PressureData& p);
TvisShearSample shear_record(const protocol::SensorData& sd, const protocol::ShearData& s);
TvisImuSample imu_record(const protocol::SensorData& sd, const protocol::ImuData& imu);
TvisBatteryInfo battery_record(uint8_t device_id, const protocol::BatteryData& b);

// Points the record's texts at the message's own strings, which are
// NUL-terminated and outlive the callback. False when a text holds a NUL
// byte: such a text cannot be passed to C whole.
bool device_info_record(const protocol::DeviceInfo& info, TvisDeviceInfo& out);

}  // namespace tvis::c
