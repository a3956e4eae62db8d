// Shared helpers of the C-face tests: insole frames made with the SDK's own
// encoder, callbacks that record what they receive, and a capture of the
// console log (standard output).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "trova_insole_sdk.h"

namespace capi_test {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using Values = std::vector<double>;
using Table = std::vector<Values>;
namespace proto = tvis::protocol;

// "08 01 F2 01" -> bytes; spaces are ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2)
    if (text[i] != ' ') out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

// Record fields side by side, for comparing many at once.
template <class... T>
Values vals(T... v) {
  return {static_cast<double>(v)...};
}

inline Bytes frame_of_payload(std::span<const uint8_t> payload) {
  proto::FrameHeader header;
  header.src_id = 2;
  header.dest_id = 1;
  return proto::encode_frame(header, payload).value();
}

inline Bytes frame_of(const proto::InsoleResp& msg) { return frame_of_payload(proto::encode_insole_resp(msg)); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline void feed(const std::string& device, const Bytes& bytes) {
  tvis_did_receive_data(device.c_str(), bytes.data(), bytes.size());
}

// A sensor message carrying only a pressure sample (the usual stream frame).
inline proto::InsoleResp pressure_msg(uint32_t seq) {
  proto::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = proto::DEVICE_LEFT;
  sd.seq_num = seq;
  sd.timestamp_ms = 1000 + seq;
  auto& p = sd.pressure_data.emplace();
  for (int32_t i = 0; i < 48; ++i) p.raw_pressure.push_back(static_cast<int32_t>(seq) * 100 + i);
  return msg;
}

// What one callback call received, copied out of the record.
struct Info {
  uint8_t device_id;
  uint32_t product_id;
  Strings texts;  // serial, model, fw, hw, git, mac
};
using Record = std::variant<Info, TvisDeviceEvent, TvisPressureSample, TvisShearSample, TvisImuSample, TvisBatteryInfo>;

struct Event {
  std::string device;
  Record rec;
  std::string kind() const {
    static const char* const names[] = {"info", "event", "pressure", "shear", "imu", "battery"};
    return names[rec.index()];
  }
  const TvisPressureSample& pressure() const { return std::get<TvisPressureSample>(rec); }
};

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

// The scalar fields of a record in declaration order (for pressure only
// seq_num, timestamp_ms and the two counts; for info the two ids).
inline Values fields(const Event& e) {
  return std::visit(
      Overload{
          [](const Info& r) { return vals(r.device_id, r.product_id); },
          [](const TvisDeviceEvent& r) { return vals(r.timestamp_ms, r.type); },
          [](const TvisPressureSample& r) {
            return vals(r.seq_num, r.timestamp_ms, r.pressure_count, r.raw_pressure_count);
          },
          [](const TvisShearSample& r) {
            return vals(r.seq_num, r.timestamp_ms, r.shear_force_x[0], r.shear_force_x[1], r.shear_force_x[2],
                        r.shear_force_y[0], r.shear_force_y[1], r.shear_force_y[2]);
          },
          [](const TvisImuSample& r) {
            return vals(r.device_id, r.timestamp_ms, r.acc_x, r.acc_y, r.acc_z, r.gyro_x, r.gyro_y, r.gyro_z,
                        r.raw_acc_x, r.raw_acc_y, r.raw_acc_z, r.raw_gyro_x, r.raw_gyro_y, r.raw_gyro_z, r.acc_scale,
                        r.gyro_scale, r.acc_x_mg, r.acc_y_mg, r.acc_z_mg, r.gyro_x_dps, r.gyro_y_dps, r.gyro_z_dps);
          },
          [](const TvisBatteryInfo& r) { return vals(r.device_id, r.battery_pct, r.voltage_mv, r.status); },
      },
      e.rec);
}

inline std::mutex g_events_mutex;
inline std::vector<Event> g_events;

inline std::vector<Event> take_events() {
  std::lock_guard lock(g_events_mutex);
  return std::exchange(g_events, {});
}

inline Strings kinds(const std::vector<Event>& events) {
  Strings out;
  for (const Event& e : events) out.push_back(e.kind());
  return out;
}

inline Table fields(const std::vector<Event>& events) {
  Table out;
  for (const Event& e : events) out.push_back(fields(e));
  return out;
}

template <class R>
void rec(const char* id, const R* r) {
  std::lock_guard lock(g_events_mutex);
  if constexpr (std::is_same_v<R, TvisDeviceInfo>)
    g_events.push_back(
        {id, Info{r->device_id,
                  r->product_id,
                  {r->serial_number, r->model_name, r->fw_version, r->hw_version, r->git_commit, r->mac}}});
  else
    g_events.push_back({id, *r});
}

// Every receive callback records (on) or is cleared (off).
inline void set_recorders(bool on) {
  tvis_set_pressure_callback(on ? rec<TvisPressureSample> : nullptr);
  tvis_set_shear_callback(on ? rec<TvisShearSample> : nullptr);
  tvis_set_imu_callback(on ? rec<TvisImuSample> : nullptr);
  tvis_set_battery_callback(on ? rec<TvisBatteryInfo> : nullptr);
  tvis_set_device_event_callback(on ? rec<TvisDeviceEvent> : nullptr);
  tvis_set_device_info_callback(on ? rec<TvisDeviceInfo> : nullptr);
}

// Each test's own device ids, so per-device state never carries over.
inline std::string test_device(const std::string& suffix = "") {
  return ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
}

// The console lines printed since testing::internal::CaptureStdout().
inline Strings captured_stdout() {
  std::istringstream in(testing::internal::GetCapturedStdout());
  Strings out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace capi_test
