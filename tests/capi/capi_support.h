// Shared helpers of the C-face tests: insole frames made with the SDK's own
// encoder, callbacks that record what they receive, and a capture of the
// console log (standard output).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "trova_insole_sdk.h"

namespace capi_test {

using Bytes = std::vector<uint8_t>;
namespace proto = tvis::protocol;

// "08 01 F2 01" -> bytes; spaces are ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v = (c >= '0' && c <= '9') ? c - '0' : (c | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
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
inline proto::InsoleResp pressure_msg(uint32_t seq, int32_t foot = proto::DEVICE_LEFT) {
  proto::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = foot;
  sd.seq_num = seq;
  sd.timestamp_ms = 1000 + seq;
  auto& p = sd.pressure_data.emplace();
  for (int32_t i = 0; i < 48; ++i) p.raw_pressure.push_back(static_cast<int32_t>(seq) * 100 + i);
  return msg;
}

// What one callback call received, copied out of the record.
struct Event {
  std::string kind;  // "info", "event", "pressure", "shear", "imu", "battery"
  std::string device;
  TvisPressureSample pressure{};
  TvisShearSample shear{};
  TvisImuSample imu{};
  TvisBatteryInfo battery{};
  TvisDeviceEvent event{};
  uint8_t info_device_id = 0;
  uint32_t info_product_id = 0;
  std::vector<std::string> info_texts{};  // serial, model, fw, hw, git, mac
};

struct Recorder {
  std::mutex mutex;
  std::vector<Event> events;
};

inline Recorder& recorder() {
  static Recorder r;
  return r;
}

inline void record(Event e) {
  std::lock_guard lock(recorder().mutex);
  recorder().events.push_back(std::move(e));
}

inline std::vector<Event> take_events() {
  std::lock_guard lock(recorder().mutex);
  std::vector<Event> out;
  out.swap(recorder().events);
  return out;
}

inline std::vector<std::string> kinds(const std::vector<Event>& events) {
  std::vector<std::string> out;
  for (const Event& e : events) out.push_back(e.kind);
  return out;
}

inline void rec_pressure(const char* id, const TvisPressureSample* s) {
  Event e{"pressure", id};
  e.pressure = *s;
  record(std::move(e));
}
inline void rec_shear(const char* id, const TvisShearSample* s) {
  Event e{"shear", id};
  e.shear = *s;
  record(std::move(e));
}
inline void rec_imu(const char* id, const TvisImuSample* s) {
  Event e{"imu", id};
  e.imu = *s;
  record(std::move(e));
}
inline void rec_battery(const char* id, const TvisBatteryInfo* b) {
  Event e{"battery", id};
  e.battery = *b;
  record(std::move(e));
}
inline void rec_event(const char* id, const TvisDeviceEvent* ev) {
  Event e{"event", id};
  e.event = *ev;
  record(std::move(e));
}
inline void rec_info(const char* id, const TvisDeviceInfo* info) {
  Event e{"info", id};
  e.info_device_id = info->device_id;
  e.info_product_id = info->product_id;
  for (const char* t :
       {info->serial_number, info->model_name, info->fw_version, info->hw_version, info->git_commit, info->mac})
    e.info_texts.emplace_back(t);
  record(std::move(e));
}

inline void install_recorders() {
  tvis_set_pressure_callback(rec_pressure);
  tvis_set_shear_callback(rec_shear);
  tvis_set_imu_callback(rec_imu);
  tvis_set_battery_callback(rec_battery);
  tvis_set_device_event_callback(rec_event);
  tvis_set_device_info_callback(rec_info);
}

inline void clear_callbacks() {
  tvis_set_pressure_callback(nullptr);
  tvis_set_shear_callback(nullptr);
  tvis_set_imu_callback(nullptr);
  tvis_set_battery_callback(nullptr);
  tvis_set_device_event_callback(nullptr);
  tvis_set_device_info_callback(nullptr);
}

// Redirects file descriptor 1 into a temporary file until lines() is called.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  ~StdoutCapture() {
    restore();
    std::fclose(file_);
  }

  std::vector<std::string> lines() {
    restore();
    std::string text;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

inline bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace capi_test
