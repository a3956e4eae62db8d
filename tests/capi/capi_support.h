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

template <class... T>
Values vals(T... v) {
  return {static_cast<double>(v)...};
}

inline Bytes frame_of_payload(std::span<const uint8_t> payload) {
  return proto::encode_frame(proto::FrameHeader{.src_id = 2, .dest_id = 1, .reserved = {}}, payload).value();
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

// What one callback call received: its scalar fields in declaration order
// (for pressure only seq_num, timestamp_ms and the two counts; for info the
// two ids), the whole pressure record and the texts of an info record.
struct Event {
  std::string device, kind;
  Values fields;
  TvisPressureSample pressure{};
  Strings texts{};  // serial, model, fw, hw, git, mac
};

// Never destroyed: mock stream threads are detached and may deliver a last
// frame while the process exits.
inline std::mutex& g_events_mutex = *new std::mutex;
inline std::vector<Event>& g_events = *new std::vector<Event>;

inline std::vector<Event> take_events() {
  std::lock_guard lock(g_events_mutex);
  return std::exchange(g_events, {});
}

template <class T>
std::vector<T> column(const std::vector<Event>& events, T Event::*member) {
  std::vector<T> out;
  for (const Event& e : events) out.push_back(e.*member);
  return out;
}
inline Strings kinds(const std::vector<Event>& events) { return column(events, &Event::kind); }
inline Table fields(const std::vector<Event>& events) { return column(events, &Event::fields); }

template <class R>
void rec(const char* id, const R* r) {
  Event e;
  if constexpr (std::is_same_v<R, TvisDeviceInfo>)
    e = {id, "info", vals(r->device_id, r->product_id), {},
         {r->serial_number, r->model_name, r->fw_version, r->hw_version, r->git_commit, r->mac}};
  else if constexpr (std::is_same_v<R, TvisDeviceEvent>)
    e = {id, "event", vals(r->timestamp_ms, r->type)};
  else if constexpr (std::is_same_v<R, TvisPressureSample>)
    e = {id, "pressure", vals(r->seq_num, r->timestamp_ms, r->pressure_count, r->raw_pressure_count), *r};
  else if constexpr (std::is_same_v<R, TvisShearSample>)
    e = {id, "shear", vals(r->seq_num, r->timestamp_ms, r->shear_force_x[0], r->shear_force_x[1], r->shear_force_x[2],
                           r->shear_force_y[0], r->shear_force_y[1], r->shear_force_y[2])};
  else if constexpr (std::is_same_v<R, TvisImuSample>)
    e = {id, "imu", vals(r->device_id, r->timestamp_ms, r->acc_x, r->acc_y, r->acc_z, r->gyro_x, r->gyro_y, r->gyro_z,
                         r->raw_acc_x, r->raw_acc_y, r->raw_acc_z, r->raw_gyro_x, r->raw_gyro_y, r->raw_gyro_z,
                         r->acc_scale, r->gyro_scale, r->acc_x_mg, r->acc_y_mg, r->acc_z_mg, r->gyro_x_dps,
                         r->gyro_y_dps, r->gyro_z_dps)};
  else
    e = {id, "battery", vals(r->device_id, r->battery_pct, r->voltage_mv, r->status)};
  std::lock_guard lock(g_events_mutex);
  g_events.push_back(std::move(e));
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
