// The traffic the benchmarks replay: sensor frames shaped like a streaming
// insole's (48 pressure cells, 3 shear sensors, calibrated and raw IMU with
// scale factors, battery), framed as the device frames them and cut into
// BLE-notification-sized pieces by a fixed, seeded pattern.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame.h"

namespace bench {

using namespace tvis::protocol;

// One sample set at tick n. The IMU carries gyroscope readings and raw values
// that differ from the calibrated ones, as a worn insole's do, which puts the
// frame at about 227 bytes.
// With resistances, the pressure part also carries the 48 cell resistances
// (ohms) of a walking foot, which the SDK calibrates into newtons.
inline InsoleResp sensor_sample(uint32_t n, bool resistances = false) {
  const double t = n;
  InsoleResp m;
  SensorData& sd = m.sensor_data.emplace();
  sd.device_id = DEVICE_LEFT;
  sd.timestamp_ms = n * 20;
  sd.seq_num = n;

  PressureData& p = sd.pressure_data.emplace();
  for (int i = 0; i < 48; ++i) p.pressure.push_back(static_cast<int32_t>((std::sin(t * 0.1 + i * 0.2) + 1.0) * 500.0));
  if (resistances) {
    const double level = std::max(0.0, std::sin(t * 0.1) + 0.3);  // stance and swing, one stride in 63 ticks
    for (int i = 0; i < 48; ++i) p.raw_pressure.push_back(static_cast<int32_t>(1000.0 / (0.02 + level) + i));
  }

  ShearData& s = sd.shear_data.emplace();
  for (int k = 0; k < 3; ++k) {
    const double phi = t * 0.15 + k * 0.5;
    s.shear_force_x.push_back(static_cast<int32_t>((std::sin(phi) + 1.0) * 200.0));
    s.shear_force_y.push_back(static_cast<int32_t>((std::cos(phi) + 1.0) * 200.0));
  }

  const double a = t * 0.05;
  ImuData& imu = sd.imu_data.emplace();
  imu.acc_x = static_cast<int32_t>(std::sin(a) * 1000.0);
  imu.acc_y = static_cast<int32_t>(std::cos(a) * 1000.0);
  imu.acc_z = 16384;
  imu.gyro_x = static_cast<int32_t>(std::sin(a * 3.0) * 250.0);
  imu.gyro_y = static_cast<int32_t>(std::cos(a * 2.0) * 180.0);
  imu.gyro_z = static_cast<int32_t>(std::sin(a + 1.0) * 90.0);
  imu.raw_acc_x = imu.acc_x + 37;
  imu.raw_acc_y = imu.acc_y - 21;
  imu.raw_acc_z = imu.acc_z + 112;
  imu.raw_gyro_x = imu.gyro_x * 16 + 5;
  imu.raw_gyro_y = imu.gyro_y * 16 - 3;
  imu.raw_gyro_z = imu.gyro_z * 16 + 9;
  imu.acc_scale = 0.48828125f;
  imu.gyro_scale = 0.06103515625f;

  BatteryData& b = sd.battery_data.emplace();
  b.battery_pct = 95;
  b.voltage_mv = 4100;
  return m;
}

inline std::vector<uint8_t> sensor_frame(uint32_t n, bool resistances = false) {
  const std::vector<uint8_t> payload = encode_insole_resp(sensor_sample(n, resistances));
  return encode_frame(FrameHeader{}, payload).value();
}

// A stream of consecutive frames, and the pieces (20 to 244 bytes, as BLE
// notifications come) it arrives in.
struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<std::span<const uint8_t>> pieces;
  size_t frames = 0;
};

inline Stream sensor_stream(size_t frames, bool resistances = false) {
  Stream s;
  s.frames = frames;
  for (uint32_t n = 1; n <= frames; ++n) {
    const std::vector<uint8_t> f = sensor_frame(n, resistances);
    s.bytes.insert(s.bytes.end(), f.begin(), f.end());
  }
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<size_t> piece(20, 244);
  for (size_t at = 0; at < s.bytes.size();) {
    const size_t len = std::min(piece(rng), s.bytes.size() - at);
    s.pieces.emplace_back(s.bytes.data() + at, len);
    at += len;
  }
  return s;
}

}  // namespace bench
