#include "insole/view/view_state.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "gait/foot_tracker.h"
#include "pressure/calibration.h"
#include "protocol/json.h"
#include "protocol/parser.h"
#include "protocol/sequence.h"
#include "insole/console/text.h"
#include "protocol/message_stream.h"
#include "util/utf8.h"
#include "util/wall_clock.h"

namespace insole {

namespace {

constexpr size_t kEventsKept = 40;
constexpr size_t kGaitEventsKept = 32;  // the last 10 s of a brisk walk, both kinds
constexpr size_t kCadenceStrides = 4;
constexpr int64_t kRateWindowNs = 1'000'000'000;

const char* event_name(int32_t type) {
  static constexpr const char* kNames[] = {"none",
                                           "manual power off",
                                           "low-battery power off",
                                           "timeout power off",
                                           "charging connected",
                                           "charging disconnected",
                                           "wear on",
                                           "wear off",
                                           "calibration success",
                                           "calibration failed"};
  return type >= 0 && type < 10 ? kNames[type] : nullptr;
}

void append_string(std::string& out, std::string_view text) {
  if (tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
    tvis::protocol::append_json_string(out, text);
    return;
  }
  // Not text: shown byte by byte rather than breaking the page's JSON.
  std::string shown;
  for (unsigned char c : text) shown += c < 0x80 ? std::string(1, static_cast<char>(c)) : strf("\\x%02x", c);
  tvis::protocol::append_json_string(out, shown);
}

void append_number(std::string& out, double v) {
  if (!std::isfinite(v)) v = 0;
  out += strf("%.6g", v);
}

}  // namespace

struct ViewState::Insole {
  std::string id;
  std::string foot = "unknown";
  bool connected = true;
  bool seen_seq = false;
  uint32_t seq = 0;
  uint64_t frames = 0;  // sensor messages
  uint64_t messages = 0;
  uint64_t lost = 0;
  uint64_t crc_errors = 0;
  uint64_t decode_errors = 0;
  uint64_t dropped_bytes = 0;
  uint64_t writes = 0;
  int64_t last_host_ns = 0;
  bool has_battery = false;
  uint32_t battery_pct = 0, voltage_mv = 0;
  int32_t battery_status = 0;
  std::optional<tvis::protocol::DeviceInfo> device_info;
  std::deque<std::pair<int64_t, std::string>> events;
  std::optional<DfuReport> dfu;
  int64_t dfu_ns = 0;
  std::array<int32_t, kLayoutCells> raw{};
  size_t raw_count = 0;
  std::array<double, kLayoutCells> cal{};
  size_t cal_count = 0;
  bool cal_in_newtons = false;  // derived here from resistances
  bool has_imu = false;
  std::array<double, 3> acc{}, gyro{};
  std::array<double, 3> shear_x{}, shear_y{};
  size_t shear_count = 0;
  // (time, frames) samples for the frame rate over the last second.
  std::deque<std::pair<int64_t, uint64_t>> rate_samples;

  // Gait, from this foot's total load: the recent contacts and foot offs on
  // the host clock, the last stride closed and the strides behind the cadence.
  std::deque<std::pair<int64_t, tvis::gait::EventType>> gait_events;
  std::optional<tvis::gait::StrideTimes> last_stride;
  std::deque<double> recent_strides_s;

  void event(int64_t ns, std::string text) {
    events.emplace_back(ns, std::move(text));
    if (events.size() > kEventsKept) events.pop_front();
  }

  // What the cells carry, in newtons or device units: the load shown and tracked.
  double total_load() const {
    double total = 0;
    for (size_t i = 0; i < cal_count; ++i) total += std::max(cal[i], 0.0);
    return total;
  }

  // Steps per minute over the last few strides of this foot: each of its
  // strides is two steps of the pair.
  std::optional<double> cadence_steps_per_min() const {
    if (recent_strides_s.empty()) return std::nullopt;
    double sum = 0;
    for (double s : recent_strides_s) sum += s;
    return 120.0 * static_cast<double>(recent_strides_s.size()) / sum;
  }
};

// One insole's stream, lenient: a frame whose CRC fails is counted and shown,
// as the receive path would use it. Its hooks run on the source's thread and
// take the state's lock for what they change.
struct ViewState::Decoder final : tvis::protocol::StreamHandler {
  tvis::protocol::MessageStream stream;
  ViewState* view = nullptr;
  const SourceEvent* event = nullptr;  // within a feed

  void on_dropped_byte(tvis::protocol::MessageStream&, uint8_t) override {
    std::lock_guard lock(view->mutex_);
    ++view->insole(event->device_id).dropped_bytes;
  }
  void on_overflow(tvis::protocol::MessageStream&, const tvis::protocol::BufferOverflow&) override {
    std::lock_guard lock(view->mutex_);
    view->insole(event->device_id);  // heard from, if nothing else
  }
  bool on_decode_error(tvis::protocol::MessageStream&, const tvis::protocol::StreamFrame& frame,
                       const tvis::protocol::DecodeError&) override {
    std::lock_guard lock(view->mutex_);
    ++frame_seen(frame).decode_errors;
    return true;
  }
  bool on_message(tvis::protocol::MessageStream&, const tvis::protocol::StreamFrame& frame,
                  tvis::protocol::InsoleResp& msg, const tvis::protocol::SequenceStep* step) override {
    std::lock_guard lock(view->mutex_);
    Insole& in = frame_seen(frame);
    view->show(in, *event, msg, step);
    if (msg.sensor_data && msg.sensor_data->pressure_data) track_gait(in, *msg.sensor_data, step);
    return true;
  }

  // The frame's load through this foot's tracker. An event is placed on the
  // host clock by its distance in device time from the frame that decided it.
  void track_gait(Insole& in, const tvis::protocol::SensorData& sd, const tvis::protocol::SequenceStep* step) {
    if (step && step->estimated_lost()) gait.mark_gap();
    const double device_s = static_cast<double>(sd.timestamp_ms) / 1000.0;
    const tvis::gait::FootTracker::Step out = gait.push(device_s, in.total_load());
    if (out.event) {
      const int64_t ns = event->host_time_ns - static_cast<int64_t>((device_s - out.event->time_s) * 1e9);
      in.gait_events.emplace_back(ns, out.event->type);
      if (in.gait_events.size() > kGaitEventsKept) in.gait_events.pop_front();
    }
    if (out.stride) {
      in.last_stride = *out.stride;
      in.recent_strides_s.push_back(out.stride->stride_s);
      if (in.recent_strides_s.size() > kCadenceStrides) in.recent_strides_s.pop_front();
    }
  }

  tvis::gait::FootTracker gait;  // this foot's own, on the source's thread

  // With the lock held.
  Insole& frame_seen(const tvis::protocol::StreamFrame& frame) {
    Insole& in = view->insole(event->device_id);
    in.foot = event->foot;
    in.last_host_ns = event->host_time_ns;
    ++in.messages;
    if (!frame.crc_ok) ++in.crc_errors;
    return in;
  }
};

ViewState::ViewState(CellLayout layout, std::string source_name)
    : layout_(std::move(layout)), source_name_(std::move(source_name)) {}

ViewState::~ViewState() = default;

ViewState::Insole& ViewState::insole(const std::string& id) {
  auto it = insoles_.find(id);
  if (it == insoles_.end()) {
    it = insoles_.emplace(id, std::make_unique<Insole>()).first;
    it->second->id = id;
    order_.push_back(id);
  }
  return *it->second;
}

bool ViewState::admit(const std::string& id) {
  std::lock_guard lock(mutex_);
  if (insoles_.size() < kMaxInsoles || insoles_.count(id)) return true;
  if (!refused_warned_) {
    refused_warned_ = true;
    std::fprintf(stderr, "insole: warning: the view shows at most %zu insoles; new ones are not shown\n", kMaxInsoles);
  }
  return false;
}

void ViewState::on_event(const SourceEvent& e) {
  using namespace tvis::protocol;
  // A feed names its insoles: without a bound, one that keeps naming new
  // ones would grow the view's state and every snapshot without end.
  if (!admit(e.device_id)) return;
  if (e.kind != SourceEvent::Kind::notification) {
    std::lock_guard lock(mutex_);
    Insole& in = insole(e.device_id);
    in.foot = e.foot;
    if (e.kind == SourceEvent::Kind::write) {
      ++in.writes;
    } else {
      in.connected = e.connected;
      in.event(e.host_time_ns, e.connected ? "connected" : "disconnected");
    }
    version_.fetch_add(1, std::memory_order_release);
    return;
  }

  auto found = decoders_.find(e.device_id);
  if (found == decoders_.end()) {
    found = decoders_.emplace(e.device_id, std::make_unique<Decoder>()).first;
    found->second->view = this;
  }
  Decoder& d = *found->second;
  d.event = &e;
  d.stream.feed(e.bytes, d);
  d.event = nullptr;
  version_.fetch_add(1, std::memory_order_release);
}

void ViewState::show(Insole& in, const SourceEvent& e, const tvis::protocol::InsoleResp& msg,
                     const tvis::protocol::SequenceStep* step) {
  using namespace tvis::protocol;
  if (msg.device_info) {
    const bool first = !in.device_info;
    in.device_info = *msg.device_info;
    if (first) in.event(e.host_time_ns, "device info");
  }
  if (msg.battery_data) {
    in.has_battery = true;
    in.battery_pct = msg.battery_data->battery_pct;
    in.voltage_mv = msg.battery_data->voltage_mv;
    in.battery_status = msg.battery_data->status;
  }
  if (msg.device_event) {
    const char* name = event_name(msg.device_event->type);
    in.event(e.host_time_ns, name ? name : "event " + std::to_string(msg.device_event->type));
  }
  if (!msg.sensor_data) return;
  const SensorData& sd = *msg.sensor_data;
  if (step) in.lost += step->estimated_lost();
  in.seen_seq = true;
  in.seq = sd.seq_num;
  ++in.frames;
  if (sd.battery_data) {
    in.has_battery = true;
    in.battery_pct = sd.battery_data->battery_pct;
    in.voltage_mv = sd.battery_data->voltage_mv;
    in.battery_status = sd.battery_data->status;
  }
  if (sd.pressure_data) {
    const auto& p = *sd.pressure_data;
    in.raw_count = std::min(p.raw_pressure.size(), kLayoutCells);
    for (size_t i = 0; i < in.raw_count; ++i) in.raw[i] = p.raw_pressure[i];
    if (!p.pressure.empty()) {
      in.cal_count = std::min(p.pressure.size(), kLayoutCells);
      for (size_t i = 0; i < in.cal_count; ++i) in.cal[i] = p.pressure[i];
      in.cal_in_newtons = false;
    } else {
      // Resistances only: the SDK's calibration gives the loads.
      const uint8_t foot = sd.device_id == DEVICE_RIGHT || in.foot == "right" ? 3 : 2;
      in.cal_count = in.raw_count;
      for (size_t i = 0; i < in.cal_count; ++i)
        in.cal[i] = tvis::pressure::calibrate_channel(static_cast<uint32_t>(std::max(in.raw[i], 0)), i, foot);
      in.cal_in_newtons = true;
    }
  }
  if (sd.imu_data) {
    const ImuData& imu = *sd.imu_data;
    // In double, as the page has always plotted them (the SDK's own values are float).
    const std::array<double, 6> v = imu.physical<double>();
    in.has_imu = true;
    in.acc = {v[0], v[1], v[2]};
    in.gyro = {v[3], v[4], v[5]};
  }
  if (sd.shear_data) {
    const ShearData& s = *sd.shear_data;
    in.shear_count = std::min({s.shear_force_x.size(), s.shear_force_y.size(), size_t{3}});
    for (size_t k = 0; k < in.shear_count; ++k) {
      in.shear_x[k] = s.shear_force_x[k];
      in.shear_y[k] = s.shear_force_y[k];
    }
  }
}

void ViewState::on_dfu(const std::string& device_id, const DfuReport& report) {
  static constexpr const char* kStates[] = {"loading",   "checksum",  "handshake", "uploading", "verifying",
                                            "rebooting", "completed", "failed",    "aborted"};
  const int64_t now = tvis::wall_clock_ns();
  std::lock_guard lock(mutex_);
  Insole& in = insole(device_id);
  if (!in.dfu || in.dfu->state != report.state)
    in.event(now, std::string("update ") + (report.state >= 0 && report.state <= 8 ? kStates[report.state] : "?"));
  in.dfu = report;
  in.dfu_ns = now;
  version_.fetch_add(1, std::memory_order_release);
}

void ViewState::set_recording(const std::string& path) {
  std::lock_guard lock(mutex_);
  recording_ = path;
  version_.fetch_add(1, std::memory_order_release);
}

uint64_t ViewState::frames_total() const {
  std::lock_guard lock(mutex_);
  uint64_t total = 0;
  for (const auto& [id, in] : insoles_) total += in->frames;
  return total;
}

uint64_t ViewState::lost_total() const {
  std::lock_guard lock(mutex_);
  uint64_t total = 0;
  for (const auto& [id, in] : insoles_) total += in->lost;
  return total;
}

std::string ViewState::snapshot_json(int64_t now_ns) {
  // Copies under the lock, rendering after it.
  std::vector<Insole> copies;
  std::string recording;
  {
    std::lock_guard lock(mutex_);
    for (const auto& id : order_) {
      Insole& in = *insoles_.at(id);
      in.rate_samples.emplace_back(now_ns, in.frames);
      while (in.rate_samples.size() > 2 && now_ns - in.rate_samples[1].first >= kRateWindowNs)
        in.rate_samples.pop_front();
      copies.push_back(in);
    }
    recording = recording_;
  }
  std::string out = "{\"type\":\"state\",\"time_ns\":" + std::to_string(now_ns) + ",\"source\":";
  append_string(out, source_name_);
  out += ",\"recording\":";
  if (recording.empty())
    out += "null";
  else
    append_string(out, recording);
  out += ",\"insoles\":[";
  for (size_t n = 0; n < copies.size(); ++n) {
    const Insole& in = copies[n];
    if (n) out += ',';
    out += "{\"id\":";
    append_string(out, in.id);
    out += ",\"foot\":";
    append_string(out, in.foot);
    const auto& [then, old_frames] = in.rate_samples.front();
    const double span = static_cast<double>(now_ns - then) / 1e9;
    const double fps = span > 0.2 ? static_cast<double>(in.frames - old_frames) / span : 0.0;
    out += strf(",\"connected\":%s,\"seq\":%s,\"frames\":%llu,\"fps\":%.1f,\"lost\":%llu,\"crc_errors\":%llu,"
                "\"decode_errors\":%llu,\"dropped_bytes\":%llu,\"writes\":%llu,\"host_time_ns\":%lld",
                in.connected ? "true" : "false", in.seen_seq ? std::to_string(in.seq).c_str() : "null",
                static_cast<unsigned long long>(in.frames), fps, static_cast<unsigned long long>(in.lost),
                static_cast<unsigned long long>(in.crc_errors), static_cast<unsigned long long>(in.decode_errors),
                static_cast<unsigned long long>(in.dropped_bytes), static_cast<unsigned long long>(in.writes),
                static_cast<long long>(in.last_host_ns));
    out += ",\"battery\":";
    out += in.has_battery ? strf("{\"pct\":%u,\"mv\":%u,\"status\":%d}", in.battery_pct, in.voltage_mv,
                                 in.battery_status)
                          : std::string("null");
    out += ",\"device_info\":";
    if (in.device_info) {
      const auto& d = *in.device_info;
      out += "{\"serial\":";
      append_string(out, d.serial_number);
      out += ",\"model\":";
      append_string(out, d.model_name);
      out += ",\"fw\":";
      append_string(out, d.fw_version);
      out += ",\"hw\":";
      append_string(out, d.hw_version);
      out += ",\"mac\":";
      append_string(out, d.mac);
      out += "}";
    } else {
      out += "null";
    }
    out += ",\"events\":[";
    for (size_t i = 0; i < in.events.size(); ++i) {
      out += i ? ",[" : "[";
      out += std::to_string(in.events[i].first) + ",";
      append_string(out, in.events[i].second);
      out += "]";
    }
    out += "],\"dfu\":";
    if (in.dfu) {
      out += strf("{\"state\":%d,\"pct\":%.1f,\"speed_kbps\":%.2f,\"eta_secs\":%.1f,\"time_ns\":%lld,\"message\":",
                  in.dfu->state, in.dfu->percentage, in.dfu->speed_kbps, in.dfu->eta_secs,
                  static_cast<long long>(in.dfu_ns));
      append_string(out, in.dfu->message);
      out += "}";
    } else {
      out += "null";
    }
    out += ",\"unit\":";
    out += in.cal_in_newtons ? "\"N\"" : "\"\"";
    out += ",\"raw\":[";
    for (size_t i = 0; i < in.raw_count; ++i) out += (i ? "," : "") + std::to_string(in.raw[i]);
    out += "],\"cells\":[";
    for (size_t i = 0; i < in.cal_count; ++i) {
      if (i) out += ',';
      append_number(out, in.cal[i]);
    }
    out += "],\"total\":";
    append_number(out, in.total_load());
    // Gait: times in seconds of the insole's clock, cadence in steps per
    // minute, events on the host clock like the other events.
    out += ",\"gait\":{\"cadence_steps_per_min\":";
    if (const auto cadence = in.cadence_steps_per_min()) append_number(out, *cadence); else out += "null";
    out += ",\"stride\":";
    if (in.last_stride) {
      const auto& st = *in.last_stride;
      out += strf("{\"stride_s\":%.3f,\"stance_s\":%.3f,\"swing_s\":%.3f,\"stance_pct\":%.1f,\"flags\":%u}",
                  st.stride_s, st.stance_s, st.swing_s, st.stride_s > 0 ? 100 * st.stance_s / st.stride_s : 0.0,
                  st.flags);
    } else {
      out += "null";
    }
    out += ",\"events\":[";
    for (size_t i = 0; i < in.gait_events.size(); ++i)
      out += strf("%s[%lld,\"%s\"]", i ? "," : "", static_cast<long long>(in.gait_events[i].first),
                  in.gait_events[i].second == tvis::gait::EventType::kContact ? "contact" : "foot_off");
    out += "]}";
    out += ",\"cop\":";
    const auto cop = centre_of_pressure(layout_, std::span<const double>(in.cal.data(), in.cal_count),
                                        in.foot == "right");
    out += cop ? strf("[%.2f,%.2f]", cop->x, cop->y) : std::string("null");
    out += ",\"imu\":";
    out += in.has_imu ? strf("{\"acc\":[%.2f,%.2f,%.2f],\"gyro\":[%.2f,%.2f,%.2f]}", in.acc[0], in.acc[1], in.acc[2],
                             in.gyro[0], in.gyro[1], in.gyro[2])
                      : std::string("null");
    out += ",\"shear\":[";
    for (size_t k = 0; k < in.shear_count; ++k)
      out += strf("%s[%.1f,%.1f]", k ? "," : "", in.shear_x[k], in.shear_y[k]);
    out += "]}";
  }
  return out + "]}";
}

}  // namespace insole
