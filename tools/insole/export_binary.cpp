// The binary form of an export (`insole export --binary`): fixed-size
// little-endian records that numpy maps as they are, so that a program gets
// the columns without parsing text. The layout is described in a JSON header
// and the device names in a JSON trailer (docs/capture-format.md):
//
//   "TVROWS1\n"  u32 length  header JSON  records...  trailer JSON  u32 length  "TVROWEND"
//
// A value the sample does not carry is 0 in its record; the record's counts
// say which values are there, as the empty CSV fields do.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "export_rows.h"
#include "protocol/json.h"

namespace insole {

namespace {

using namespace tvis::protocol;

static_assert(std::endian::native == std::endian::little, "records are written as they lie in memory");

struct Record {
  int64_t host_time_ns;
  int64_t aligned_time_ns;
  uint32_t device_time_ms;
  uint32_t source;  // index into the trailer's sources: device and foot
  uint32_t seq;
  uint32_t gap;
  int32_t pressure[48];
  int32_t raw_pressure[48];
  int32_t shear_x[3];
  int32_t shear_y[3];
  int32_t imu[12];   // acc, gyro, raw acc, raw gyro: x, y, z each
  float derived[6];  // acc in mg, gyro in degrees per second; NaN where the CSV says null
  uint32_t battery_pct;
  uint32_t voltage_mv;
  // How many of each group the sample carries.
  uint8_t aligned_count, pressure_count, raw_pressure_count, shear_x_count, shear_y_count, imu_count, battery_count;
  uint8_t reserved;
};
static_assert(sizeof(Record) == 528 && offsetof(Record, derived) == 488 && offsetof(Record, aligned_count) == 520);

constexpr const char* kImuNames[] = {"acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                                     "raw_acc_x", "raw_acc_y", "raw_acc_z", "raw_gyro_x", "raw_gyro_y", "raw_gyro_z"};
constexpr const char* kDerivedNames[] = {"acc_x_mg", "acc_y_mg", "acc_z_mg", "gyro_x_dps", "gyro_y_dps", "gyro_z_dps"};

// {"row_bytes":..,"columns":[CSV names],"fields":[[name,type,offset],..],
//  "valid":{column:[count field, index]}}: a column is there in a record when
// its count field is above its index.
std::string header_json() {
  std::string fields, valid;
  auto field = [&](const std::string& name, const char* type, size_t offset) {
    fields += fields.empty() ? "[" : ",[";
    append_json_string(fields, name);
    fields += ",\"" + std::string(type) + "\"," + std::to_string(offset) + "]";
  };
  auto when = [&](const std::string& column, const char* count, size_t index) {
    valid += valid.empty() ? "" : ",";
    append_json_string(valid, column);
    valid += ":[\"" + std::string(count) + "\"," + std::to_string(index) + "]";
  };
  field("host_time_ns", "<i8", offsetof(Record, host_time_ns));
  field("aligned_time_ns", "<i8", offsetof(Record, aligned_time_ns));
  when("aligned_time_ns", "aligned_count", 0);
  field("device_time_ms", "<u4", offsetof(Record, device_time_ms));
  field("source", "<u4", offsetof(Record, source));
  field("seq", "<u4", offsetof(Record, seq));
  field("gap", "<u4", offsetof(Record, gap));
  auto list = [&](const char* prefix, const char* count, size_t offset, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const std::string name = prefix + std::to_string(i);
      field(name, "<i4", offset + 4 * i);
      when(name, count, i);
    }
  };
  list("pressure_", "pressure_count", offsetof(Record, pressure), 48);
  list("raw_pressure_", "raw_pressure_count", offsetof(Record, raw_pressure), 48);
  list("shear_x_", "shear_x_count", offsetof(Record, shear_x), 3);
  list("shear_y_", "shear_y_count", offsetof(Record, shear_y), 3);
  for (size_t i = 0; i < 12; ++i) {
    field(kImuNames[i], "<i4", offsetof(Record, imu) + 4 * i);
    when(kImuNames[i], "imu_count", 0);
  }
  for (size_t i = 0; i < 6; ++i) {
    field(kDerivedNames[i], "<f4", offsetof(Record, derived) + 4 * i);
    when(kDerivedNames[i], "imu_count", 0);
  }
  field("battery_pct", "<u4", offsetof(Record, battery_pct));
  when("battery_pct", "battery_count", 0);
  field("voltage_mv", "<u4", offsetof(Record, voltage_mv));
  when("voltage_mv", "battery_count", 0);
  const char* counts[] = {"aligned_count", "pressure_count", "raw_pressure_count", "shear_x_count",
                          "shear_y_count", "imu_count", "battery_count"};
  for (size_t i = 0; i < 7; ++i) field(counts[i], "|u1", offsetof(Record, aligned_count) + i);

  std::string columns;
  const std::string csv = csv_header();
  for (size_t from = 0; from <= csv.size();) {
    const size_t to = std::min(csv.find(',', from), csv.size());
    columns += columns.empty() ? "[" : ",";
    append_json_string(columns, csv.substr(from, to - from));
    from = to + 1;
  }
  return "{\"row_bytes\":" + std::to_string(sizeof(Record)) + ",\"columns\":" + columns + "],\"fields\":" + fields +
         "],\"valid\":{" + valid + "}}";
}

template <class List, size_t N>
uint8_t copy_list(const List* list, int32_t (&to)[N]) {
  const size_t n = list ? std::min(list->size(), N) : 0;
  if (n) std::memcpy(to, list->data(), n * sizeof(int32_t));
  return static_cast<uint8_t>(n);
}

void put_length(ExportOutput& out, size_t n) {
  const uint32_t length = static_cast<uint32_t>(n);
  out.append(reinterpret_cast<const char*>(&length), 4);
}

class BinaryWriter : public RowWriter {
 public:
  explicit BinaryWriter(ExportOutput& out) : out_(out) {
    const std::string header = header_json();
    out_.append("TVROWS1\n", 8);
    put_length(out_, header.size());
    out_.append(header.data(), header.size());
  }

  void row(const Sample& s) override {
    const SensorData& sd = *s.message.sensor_data;
    Record r{};
    r.host_time_ns = s.host_time_ns;
    if (s.aligned_time_ns) {
      r.aligned_time_ns = *s.aligned_time_ns;
      r.aligned_count = 1;
    }
    r.device_time_ms = sd.timestamp_ms;
    r.source = source(s.device_id, s.foot);
    r.seq = sd.seq_num;
    r.gap = s.gap;
    if (sd.pressure_data) {
      r.pressure_count = copy_list(&sd.pressure_data->pressure, r.pressure);
      r.raw_pressure_count = copy_list(&sd.pressure_data->raw_pressure, r.raw_pressure);
    }
    if (sd.shear_data) {
      r.shear_x_count = copy_list(&sd.shear_data->shear_force_x, r.shear_x);
      r.shear_y_count = copy_list(&sd.shear_data->shear_force_y, r.shear_y);
    }
    if (sd.imu_data) {
      const ImuData& m = *sd.imu_data;
      const int32_t imu[12] = {m.acc_x,     m.acc_y,     m.acc_z,     m.gyro_x,     m.gyro_y,     m.gyro_z,
                               m.raw_acc_x, m.raw_acc_y, m.raw_acc_z, m.raw_gyro_x, m.raw_gyro_y, m.raw_gyro_z};
      std::memcpy(r.imu, imu, sizeof imu);
      // The same single-precision products as the CSV's derived columns.
      const float acc = m.acc_scale_or_default(), gyro = m.gyro_scale_or_default();
      const float derived[6] = {acc * static_cast<float>(m.acc_x),   acc * static_cast<float>(m.acc_y),
                                acc * static_cast<float>(m.acc_z),   gyro * static_cast<float>(m.gyro_x),
                                gyro * static_cast<float>(m.gyro_y), gyro * static_cast<float>(m.gyro_z)};
      for (size_t i = 0; i < 6; ++i)
        r.derived[i] = std::isfinite(derived[i]) ? derived[i] : std::numeric_limits<float>::quiet_NaN();
      r.imu_count = 1;
    }
    if (s.battery) {
      r.battery_pct = s.battery->battery_pct;
      r.voltage_mv = s.battery->voltage_mv;
      r.battery_count = 1;
    }
    out_.append(reinterpret_cast<const char*>(&r), sizeof r);
    ++rows_;
  }

  // {"rows":N,"sources":[[device,foot],..]}
  void finish() override {
    std::string trailer = "{\"rows\":" + std::to_string(rows_) + ",\"sources\":[";
    for (size_t i = 0; i < names_.size(); ++i) {
      trailer += i ? ",[" : "[";
      append_json_string(trailer, names_[i].first);
      trailer += ',';
      append_json_string(trailer, names_[i].second);
      trailer += ']';
    }
    trailer += "]}";
    out_.append(trailer.data(), trailer.size());
    put_length(out_, trailer.size());
    out_.append("TVROWEND", 8);
  }

 private:
  uint32_t source(const std::string& device, const std::string& foot) {
    if (last_ < names_.size() && names_[last_].first == device && names_[last_].second == foot) return last_;
    auto [it, fresh] = index_.try_emplace({device, foot}, static_cast<uint32_t>(names_.size()));
    if (fresh) names_.emplace_back(device, foot);
    return last_ = it->second;
  }

  ExportOutput& out_;
  uint64_t rows_ = 0;
  std::vector<std::pair<std::string, std::string>> names_;
  std::map<std::pair<std::string, std::string>, uint32_t> index_;
  uint32_t last_ = UINT32_MAX;
};

}  // namespace

std::unique_ptr<RowWriter> binary_writer(ExportOutput& out) { return std::make_unique<BinaryWriter>(out); }

}  // namespace insole
