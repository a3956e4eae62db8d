#include "mock/mock_stream.h"

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "runtime/device_key.h"
#include "runtime/receive.h"
#include "protocol/codec.h"
#include "protocol/frame.h"

namespace tvis::mock {

namespace {

constexpr FootProfile kLeft{protocol::DEVICE_LEFT, 0.0, 0.0, 95, 4100};
constexpr FootProfile kRight{protocol::DEVICE_RIGHT, 0.5, 0.3, 91, 4070};

// Running streams by id. Each start draws a fresh token; a thread runs while
// its id still maps to its own token, so a stop followed at once by a restart
// ends the old thread instead of leaving two.
using MockStreams = c::LockedDeviceMap<uint64_t>;

MockStreams& mock_streams() {
  static MockStreams* streams = new MockStreams;
  return *streams;
}

uint64_t next_token() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

bool still_running(const std::string& device_id, uint64_t token) {
  MockStreams& streams = mock_streams();
  std::lock_guard lock(streams.mutex);
  auto it = streams.map.find(device_id);
  return it != streams.map.end() && it->second == token;
}

bool contains_right(std::string_view id) {
  constexpr std::string_view kRightWord = "right";
  if (id.size() < kRightWord.size()) return false;
  for (size_t i = 0; i + kRightWord.size() <= id.size(); ++i) {
    bool match = true;
    for (size_t k = 0; k < kRightWord.size() && match; ++k) {
      char ch = id[i + k];
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      match = ch == kRightWord[k];
    }
    if (match) return true;
  }
  return false;
}

void run_stream(const std::string& device_id, uint64_t token) {
  const FootProfile& profile = profile_for(device_id);
  protocol::FrameHeader header;  // version 2, type 0x21, source 1, destination 2, reserved 0
  for (uint32_t n = 1; still_running(device_id, token); ++n) {
    auto frame = protocol::encode_frame(header, protocol::encode_insole_resp(sample(profile, n)));
    if (frame) c::receive_data(device_id, frame->data(), frame->size());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

const FootProfile& profile_for(std::string_view device_id) {
  if (device_id == "1" || device_id == "3" || contains_right(device_id)) return kRight;
  return kLeft;
}

protocol::InsoleResp sample(const FootProfile& profile, uint32_t n) {
  const double t = static_cast<double>(n);
  protocol::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = profile.device_id;
  sd.timestamp_ms = n * 20u;
  sd.seq_num = n;

  auto& pressure = sd.pressure_data.emplace();
  for (int i = 0; i < 48; ++i)
    pressure.pressure.push_back(
        static_cast<int32_t>((std::sin(profile.pressure_phase + (t * 0.1 + i * 0.2)) + 1.0) * 500.0));

  auto& shear = sd.shear_data.emplace();
  for (int k = 0; k < 3; ++k) {
    const double phi = profile.shear_phase + (t * 0.15 + k * 0.5);
    shear.shear_force_x.push_back(static_cast<int32_t>((std::sin(phi) + 1.0) * 200.0));
    shear.shear_force_y.push_back(static_cast<int32_t>((std::cos(phi) + 1.0) * 200.0));
  }

  const double a = t * 0.05;
  auto& imu = sd.imu_data.emplace();
  imu.acc_x = imu.raw_acc_x = static_cast<int32_t>(std::sin(a) * 1000.0);
  imu.acc_y = imu.raw_acc_y = static_cast<int32_t>(std::cos(a) * 1000.0);
  imu.acc_z = imu.raw_acc_z = 16384;
  imu.acc_scale = 0.48828125f;
  imu.gyro_scale = 0.06103515625f;

  auto& battery = sd.battery_data.emplace();
  battery.battery_pct = profile.battery_pct;
  battery.voltage_mv = profile.voltage_mv;
  return msg;
}

void start_stream(std::string_view device_id) {
  MockStreams& streams = mock_streams();
  uint64_t token;
  std::string id(device_id);
  {
    std::lock_guard lock(streams.mutex);
    if (streams.map.find(device_id) != streams.map.end()) return;
    token = next_token();
    streams.map.emplace(id, token);
  }
  try {
    std::thread([id, token] {
      try {
        run_stream(id, token);
      } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
        // Out of memory: this stream ends; nothing may escape the thread.
      }
    }).detach();
  } catch (...) {
    std::lock_guard lock(streams.mutex);
    auto it = streams.map.find(id);
    if (it != streams.map.end() && it->second == token) streams.map.erase(it);
    throw;
  }
}

void stop_all_streams() {
  MockStreams& streams = mock_streams();
  std::lock_guard lock(streams.mutex);
  streams.map.clear();
}

}  // namespace tvis::mock
