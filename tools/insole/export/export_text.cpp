// The text forms of an export: CSV with named columns and JSON lines. A CSV
// row is written straight into the output buffer with no allocation: an hour
// of two insoles is 150 MB of text, and formatting it is most of the work.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "insole/export/export_rows.h"
#include "protocol/json.h"
#include "protocol/json_number.h"

namespace insole {

using namespace tvis::protocol;

namespace {

constexpr size_t kCells = 48;
constexpr size_t kShear = 3;

// Room a row needs besides its two text fields: 181 columns of at most a
// separator and kMaxDoubleText characters each, with margin.
constexpr size_t kRowRoom = 181 * (1 + kMaxDoubleText) + 64;
// And the gait columns: the longest event name and a time.
constexpr size_t kGaitRoom = 2 + 8 + kMaxDoubleText;

// A plain loop: ids are short, and a search for any of four characters
// costs more per row than looking at each one.
bool needs_quotes(const std::string& s) {
  for (char c : s)
    if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
  return false;
}

// Ids are the host's names: any that would break a CSV field is quoted.
char* put_text(char* p, const std::string& s) {
  if (!needs_quotes(s)) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
  }
  *p++ = '"';
  for (char c : s) {
    if (c == '"') *p++ = '"';
    *p++ = c;
  }
  *p++ = '"';
  return p;
}

// A list as a fixed number of columns, each with its separator in front;
// missing entries stay empty.
template <class List>
char* put_cells(char* p, const List* list, size_t count) {
  const size_t have = list ? std::min(list->size(), count) : 0;
  for (size_t i = 0; i < have; ++i) {
    *p++ = ',';
    p = write_int32(p, (*list)[i]);
  }
  std::memset(p, ',', count - have);
  return p + (count - have);
}

// A value held to thousandths (the loads and the centre of pressure) as
// write_double writes it ("6.134", "343.0"), from its whole number of
// thousandths: the general route costs more than the calibration itself.
// The shortest text that reads back as k / 1000.0 is k / 1000 written out,
// so the two agree; a value that is no such quotient takes the general route.
char* put_thousandths(char* p, double v) {
  const double scaled = v * 1000.0;
  if (!(std::fabs(scaled) < 1e15)) return write_double(p, v);
  const auto k = static_cast<int64_t>(std::llround(scaled));
  if (static_cast<double>(k) / 1000.0 != v || k == 0) return write_double(p, v);
  uint64_t units = k < 0 ? 0 - static_cast<uint64_t>(k) : static_cast<uint64_t>(k);
  if (k < 0) *p++ = '-';
  p = std::to_chars(p, p + 24, units / 1000).ptr;
  *p++ = '.';
  unsigned frac = static_cast<unsigned>(units % 1000);
  if (frac == 0) {
    *p++ = '0';
    return p;
  }
  char digits[3] = {static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                    static_cast<char>('0' + frac % 10)};
  size_t n = 3;
  while (digits[n - 1] == '0') --n;
  std::memcpy(p, digits, n);
  return p + n;
}

// load_0_N..load_47_N, load_total_N, cop_x_mm, cop_y_mm.
char* put_forces(char* p, const SampleForces& f) {
  for (size_t i = 0; i < f.load_count; ++i) {
    *p++ = ',';
    p = put_thousandths(p, f.load_n[i]);
  }
  std::memset(p, ',', kCells - f.load_count);
  p += kCells - f.load_count;
  *p++ = ',';
  if (f.load_count) p = put_thousandths(p, f.total_n);
  *p++ = ',';
  if (f.has_centre) p = put_thousandths(p, f.centre_x_mm);
  *p++ = ',';
  if (f.has_centre) p = put_thousandths(p, f.centre_y_mm);
  return p;
}

// gait_event, gait_event_time_s: both empty on a row that starts no event.
char* put_gait(char* p, const GaitMark* mark) {
  *p++ = ',';
  if (mark) {
    const std::string_view name = gait_event_name(mark->kind);
    std::memcpy(p, name.data(), name.size());
    p += name.size();
  }
  *p++ = ',';
  if (mark) p = write_double(p, mark->time_s);
  return p;
}

// kGait: the rows end in the gait columns. A template, so that an export
// without them does no more per row than it ever did.
template <bool kGait>
class CsvWriter : public RowWriter {
 public:
  explicit CsvWriter(ExportOutput& out) : out_(out) {
    const std::string header = csv_header(kGait) + "\n";
    out_.append(header.data(), header.size());
  }

  void row(const Sample& s) override {
    const SensorData& sd = *s.message.sensor_data;
    char* const start = out_.room(kRowRoom + (kGait ? kGaitRoom : 0) + 2 * (s.device_id.size() + s.foot.size()) + 4);
    // A capture's log time is unsigned: one at or past 2^63 prints as it was written.
    char* p = std::to_chars(start, start + 24, static_cast<uint64_t>(s.host_time_ns)).ptr;
    *p++ = ',';
    if (s.aligned_time_ns) p = std::to_chars(p, p + 24, *s.aligned_time_ns).ptr;
    *p++ = ',';
    p = write_uint32(p, sd.timestamp_ms);
    *p++ = ',';
    p = put_text(p, s.device_id);
    *p++ = ',';
    p = put_text(p, s.foot);
    *p++ = ',';
    p = write_uint32(p, sd.seq_num);
    *p++ = ',';
    p = write_uint32(p, s.gap);
    const PressureData* pd = sd.pressure_data ? &*sd.pressure_data : nullptr;
    p = put_cells(p, pd ? &pd->pressure : nullptr, kCells);
    p = put_cells(p, pd ? &pd->raw_pressure : nullptr, kCells);
    const ShearData* sh = sd.shear_data ? &*sd.shear_data : nullptr;
    p = put_cells(p, sh ? &sh->shear_force_x : nullptr, kShear);
    p = put_cells(p, sh ? &sh->shear_force_y : nullptr, kShear);
    if (sd.imu_data) {
      const ImuData& m = *sd.imu_data;
      for (int32_t v : {m.acc_x, m.acc_y, m.acc_z, m.gyro_x, m.gyro_y, m.gyro_z, m.raw_acc_x, m.raw_acc_y, m.raw_acc_z,
                        m.raw_gyro_x, m.raw_gyro_y, m.raw_gyro_z}) {
        *p++ = ',';
        p = write_int32(p, v);
      }
      // Derived in single precision, as the SDK reports them everywhere.
      for (float v : m.physical()) {
        *p++ = ',';
        p = write_double(p, static_cast<double>(v));
      }
    } else {
      std::memset(p, ',', 18);
      p += 18;
    }
    *p++ = ',';
    if (s.battery) p = write_uint32(p, s.battery->battery_pct);
    *p++ = ',';
    if (s.battery) p = write_uint32(p, s.battery->voltage_mv);
    p = put_forces(p, s.forces);
    if constexpr (kGait) p = put_gait(p, s.gait_event);
    *p++ = '\n';
    out_.done(p);
  }

 private:
  ExportOutput& out_;
};

// Keys in sorted order, as every JSON text of the SDK: the gait keys, when
// there, come between "foot" and "gap".
template <bool kGait>
class JsonLinesWriter : public RowWriter {
 public:
  explicit JsonLinesWriter(ExportOutput& out) : out_(out) {}

  void row(const Sample& s) override {
    line_.clear();
    line_ += "{\"aligned_time_ns\":";
    if (s.aligned_time_ns) number(*s.aligned_time_ns); else line_ += "null";
    line_ += ",\"cop_x_mm\":";
    real(s.forces.has_centre, s.forces.centre_x_mm);
    line_ += ",\"cop_y_mm\":";
    real(s.forces.has_centre, s.forces.centre_y_mm);
    line_ += ",\"device\":";
    append_json_string(line_, s.device_id);
    line_ += ",\"foot\":";
    append_json_string(line_, s.foot);
    if constexpr (kGait) {
      line_ += ",\"gait_event\":";
      if (s.gait_event) {
        line_ += '"';
        line_ += gait_event_name(s.gait_event->kind);
        line_ += '"';
      } else {
        line_ += "null";
      }
      line_ += ",\"gait_event_time_s\":";
      real(s.gait_event != nullptr, s.gait_event ? s.gait_event->time_s : 0);
    }
    line_ += ",\"gap\":";
    number(s.gap);
    line_ += ",\"host_time_ns\":";
    unsigned_number(static_cast<uint64_t>(s.host_time_ns));  // unsigned, as the capture holds it
    line_ += ",\"load_N\":";
    if (s.forces.load_count) {
      for (size_t i = 0; i < s.forces.load_count; ++i) {
        line_ += i ? ',' : '[';
        real(true, s.forces.load_n[i]);
      }
      line_ += ']';
    } else {
      line_ += "null";
    }
    line_ += ",\"load_total_N\":";
    real(s.forces.load_count > 0, s.forces.total_n);
    line_ += ",\"message\":";
    const size_t mark = line_.size();
    if (!render_json(s.message, line_)) {
      line_.resize(mark);
      line_ += "null";
    }
    line_ += "}\n";
    out_.append(line_.data(), line_.size());
  }

 private:
  void real(bool present, double v) {
    if (!present) {
      line_ += "null";
      return;
    }
    char digits[kMaxDoubleText];
    line_.append(digits, write_double(digits, v));
  }
  void unsigned_number(uint64_t v) {
    char digits[24];
    line_.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  }
  void number(int64_t v) {
    char digits[24];
    line_.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  }
  ExportOutput& out_;
  std::string line_;  // reused: its capacity settles after the first rows
};

}  // namespace

std::string_view gait_event_name(GaitEventKind kind) {
  switch (kind) {
    case GaitEventKind::kContact:
      return "contact";
    case GaitEventKind::kFootOff:
      return "foot_off";
    case GaitEventKind::kNone:
      break;
  }
  return {};
}

std::string csv_header(bool gait_events) {
  std::string h = "host_time_ns,aligned_time_ns,device_time_ms,device,foot,seq,gap";
  for (const char* list : {"pressure", "raw_pressure"})
    for (size_t i = 0; i < kCells; ++i) h += "," + std::string(list) + "_" + std::to_string(i);
  for (const char* axis : {"shear_x", "shear_y"})
    for (size_t i = 0; i < kShear; ++i) h += "," + std::string(axis) + "_" + std::to_string(i);
  for (const char* name : {"acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "raw_acc_x", "raw_acc_y",
                           "raw_acc_z", "raw_gyro_x", "raw_gyro_y", "raw_gyro_z", "acc_x_mg", "acc_y_mg", "acc_z_mg",
                           "gyro_x_dps", "gyro_y_dps", "gyro_z_dps", "battery_pct", "voltage_mv"})
    h += std::string(",") + name;
  for (size_t i = 0; i < kCells; ++i) h += ",load_" + std::to_string(i) + "_N";
  h += ",load_total_N,cop_x_mm,cop_y_mm";
  if (gait_events) h += ",gait_event,gait_event_time_s";
  return h;
}

std::unique_ptr<RowWriter> csv_writer(ExportOutput& out, bool gait_events) {
  if (gait_events) return std::make_unique<CsvWriter<true>>(out);
  return std::make_unique<CsvWriter<false>>(out);
}

std::unique_ptr<RowWriter> jsonl_writer(ExportOutput& out, bool gait_events) {
  if (gait_events) return std::make_unique<JsonLinesWriter<true>>(out);
  return std::make_unique<JsonLinesWriter<false>>(out);
}

}  // namespace insole
