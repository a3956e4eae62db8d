#include "capture_export.h"

#include <charconv>
#include <map>
#include <optional>

#include "capture/clock_alignment.h"
#include "capture_source.h"
#include "protocol/codec.h"
#include "protocol/json.h"
#include "protocol/json_number.h"
#include "protocol/parser.h"
#include "protocol/sequence.h"

namespace insole {

namespace {

using namespace tvis::protocol;

constexpr size_t kCells = 48;
constexpr size_t kShear = 3;

// One insole's running state across the capture.
struct Device {
  InsoleStreamParser parser;
  std::optional<uint32_t> last_seq;
  tvis::capture::ClockAlignment clock;
  std::optional<BatteryData> battery;  // the latest report, carried into rows
};

class Row {
 public:
  explicit Row(std::string& out) : out_(out) {}
  void sep() { out_ += ','; }
  void num(int64_t v) {
    char digits[24];
    out_.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  }
  void real(double v) { append_double(out_, v); }
  void text(const std::string& s) {
    // Ids are the host's names: quote any that would break a CSV field.
    if (s.find_first_of(",\"\n\r") == std::string::npos) {
      out_ += s;
      return;
    }
    out_ += '"';
    for (char c : s) {
      if (c == '"') out_ += '"';
      out_ += c;
    }
    out_ += '"';
  }
  // A list as a fixed number of columns; missing entries stay empty.
  template <class List>
  void cells(const List* list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      sep();
      if (list && i < list->size()) num((*list)[i]);
    }
  }

 private:
  std::string& out_;
};

void csv_row(std::string& out, const Notification& n, int64_t aligned, uint32_t gap, const SensorData& sd,
             const Device& dev) {
  Row r(out);
  r.num(n.host_time_ns);
  r.sep();
  if (n.host_time_ns) r.num(aligned);
  r.sep();
  r.num(sd.timestamp_ms);
  r.sep();
  r.text(n.device_id);
  r.sep();
  r.text(n.foot);
  r.sep();
  r.num(sd.seq_num);
  r.sep();
  r.num(gap);
  const PressureData* p = sd.pressure_data ? &*sd.pressure_data : nullptr;
  r.cells(p ? &p->pressure : nullptr, kCells);
  r.cells(p ? &p->raw_pressure : nullptr, kCells);
  const ShearData* s = sd.shear_data ? &*sd.shear_data : nullptr;
  r.cells(s ? &s->shear_force_x : nullptr, kShear);
  r.cells(s ? &s->shear_force_y : nullptr, kShear);
  if (sd.imu_data) {
    const ImuData& m = *sd.imu_data;
    for (int32_t v : {m.acc_x, m.acc_y, m.acc_z, m.gyro_x, m.gyro_y, m.gyro_z, m.raw_acc_x, m.raw_acc_y, m.raw_acc_z,
                      m.raw_gyro_x, m.raw_gyro_y, m.raw_gyro_z}) {
      r.sep();
      r.num(v);
    }
    // Derived in single precision, as the SDK reports them everywhere.
    const float acc = m.acc_scale_or_default(), gyro = m.gyro_scale_or_default();
    for (float v : {acc * static_cast<float>(m.acc_x), acc * static_cast<float>(m.acc_y),
                    acc * static_cast<float>(m.acc_z), gyro * static_cast<float>(m.gyro_x),
                    gyro * static_cast<float>(m.gyro_y), gyro * static_cast<float>(m.gyro_z)}) {
      r.sep();
      r.real(static_cast<double>(v));
    }
  } else {
    out.append(18, ',');
  }
  const std::optional<BatteryData>& b = sd.battery_data ? sd.battery_data : dev.battery;
  r.sep();
  if (b) r.num(b->battery_pct);
  r.sep();
  if (b) r.num(b->voltage_mv);
  out += '\n';
}

void jsonl_row(std::string& out, const Notification& n, int64_t aligned, uint32_t gap, const InsoleResp& msg) {
  Row r(out);
  out += "{\"aligned_time_ns\":";
  if (n.host_time_ns) r.num(aligned); else out += "null";
  out += ",\"device\":";
  append_json_string(out, n.device_id);
  out += ",\"foot\":";
  append_json_string(out, n.foot);
  out += ",\"gap\":";
  r.num(gap);
  out += ",\"host_time_ns\":";
  r.num(n.host_time_ns);
  out += ",\"message\":";
  const size_t mark = out.size();
  if (render_json(msg, out)) {
    out.resize(mark);
    out += "null";
  }
  out += "}\n";
}

}  // namespace

std::string csv_header() {
  std::string h = "host_time_ns,aligned_time_ns,device_time_ms,device,foot,seq,gap";
  for (const char* list : {"pressure", "raw_pressure"})
    for (size_t i = 0; i < kCells; ++i) h += "," + std::string(list) + "_" + std::to_string(i);
  for (const char* axis : {"shear_x", "shear_y"})
    for (size_t i = 0; i < kShear; ++i) h += "," + std::string(axis) + "_" + std::to_string(i);
  for (const char* name : {"acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "raw_acc_x", "raw_acc_y",
                           "raw_acc_z", "raw_gyro_x", "raw_gyro_y", "raw_gyro_z", "acc_x_mg", "acc_y_mg", "acc_z_mg",
                           "gyro_x_dps", "gyro_y_dps", "gyro_z_dps", "battery_pct", "voltage_mv"})
    h += std::string(",") + name;
  return h;
}

ExportTotals export_capture(const std::string& path, ExportFormat format, std::FILE* out) {
  ExportTotals totals;
  std::map<std::string, Device, std::less<>> devices;
  std::string text;
  InsoleResp msg;
  DecodeError error;
  if (format == ExportFormat::Csv) text = csv_header() + "\n";

  read_capture(path, [&](const Notification& n) {
    Device& dev = devices[n.device_id];
    dev.parser.feed_in_pieces(n.bytes, [&](const ParserEvent& event) {
      std::span<const uint8_t> payload;
      if (auto* f = std::get_if<FrameReceived>(&event)) payload = f->frame.payload;
      else if (auto* c = std::get_if<CrcMismatch>(&event)) payload = c->frame.payload;
      else return;
      if (!decode_insole_resp_into(payload, msg, error)) {
        ++totals.undecodable;
        return;
      }
      if (msg.battery_data) dev.battery = msg.battery_data;
      if (!msg.sensor_data) return;
      const SensorData& sd = *msg.sensor_data;
      if (sd.battery_data) dev.battery = sd.battery_data;
      const uint32_t gap = dev.last_seq ? SequenceStep{*dev.last_seq, sd.seq_num}.estimated_lost() : 0;
      dev.last_seq = sd.seq_num;
      totals.gaps += gap;
      ++totals.samples;
      const int64_t aligned = n.host_time_ns ? dev.clock.align(sd.timestamp_ms, n.host_time_ns) : 0;
      if (format == ExportFormat::Csv) {
        csv_row(text, n, aligned, gap, sd, dev);
      } else {
        jsonl_row(text, n, aligned, gap, msg);
      }
    });
    if (text.size() >= (1 << 16)) {
      std::fwrite(text.data(), 1, text.size(), out);
      text.clear();
    }
  });
  std::fwrite(text.data(), 1, text.size(), out);
  return totals;
}

}  // namespace insole
