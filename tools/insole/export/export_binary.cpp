// The binary form of an export (`insole export --binary`): the CSV's columns
// as little-endian arrays that numpy takes as they are, so that a program gets
// them without parsing text. Rows go out in blocks of kBlockRows, each block
// column by column, so the tool streams in constant memory while a reader
// copies whole runs of one column at a time (docs/capture-format.md):
//
//   "TVROWS1\n"  u32 length  header JSON  blocks...  trailer JSON  u32 length  "TVROWEND"
//
// A value the sample does not carry is 0; each row's counts say which values
// are there, as the empty CSV fields do.
//
// With the gait columns (--gait-events) each row is longer by a GaitRecord
// behind the Record: a block holds the Record's columns as always, then the
// gait columns at their offsets past it, so a reader of the field list needs
// nothing new and the Record (and every file without them) stays as it was.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "insole/export/export_rows.h"
#include "protocol/json.h"

namespace insole {

namespace {

using namespace tvis::protocol;

static_assert(std::endian::native == std::endian::little, "values are written as they lie in memory");

constexpr size_t kBlockRows = 1024;

// The values of one row; in a block, the field at offset o of this layout
// has its kBlockRows values at o * kBlockRows.
struct Record {
  int64_t host_time_ns;
  int64_t aligned_time_ns;
  double load_n[48];  // calibrated by the SDK from raw_pressure (ohms)
  double load_total_n;
  double cop_x_mm, cop_y_mm;
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
  uint8_t load_count, cop_count;
  uint8_t reserved[7];
};
static_assert(sizeof(Record) == 944 && offsetof(Record, derived) == 896 && offsetof(Record, aligned_count) == 928);

// The gait columns of a row, at offset sizeof(Record) within it.
struct GaitRecord {
  double time_s;       // NaN on a row that starts no event
  uint8_t event;       // GaitEventKind: 0 none, 1 contact, 2 foot off
  uint8_t reserved[7];
};
static_assert(sizeof(GaitRecord) == 16 && offsetof(GaitRecord, event) == 8);
constexpr size_t kGaitOffset = sizeof(Record);

constexpr const char* kImuNames[] = {"acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                                     "raw_acc_x", "raw_acc_y", "raw_acc_z", "raw_gyro_x", "raw_gyro_y", "raw_gyro_z"};
constexpr const char* kDerivedNames[] = {"acc_x_mg", "acc_y_mg", "acc_z_mg", "gyro_x_dps", "gyro_y_dps", "gyro_z_dps"};

// {"row_bytes":..,"block_rows":..,"columns":[CSV names],
//  "fields":[[name,type,offset],..],"valid":{column:[count field, index]}}:
// a column has a value in a row when its count field is above its index.
std::string header_json(bool gait_events) {
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
  for (size_t i = 0; i < 48; ++i) {
    const std::string name = "load_" + std::to_string(i) + "_N";
    field(name, "<f8", offsetof(Record, load_n) + 8 * i);
    when(name, "load_count", i);
  }
  field("load_total_N", "<f8", offsetof(Record, load_total_n));
  when("load_total_N", "load_count", 0);
  field("cop_x_mm", "<f8", offsetof(Record, cop_x_mm));
  when("cop_x_mm", "cop_count", 0);
  field("cop_y_mm", "<f8", offsetof(Record, cop_y_mm));
  when("cop_y_mm", "cop_count", 0);
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
  const char* counts[] = {"aligned_count", "pressure_count", "raw_pressure_count", "shear_x_count", "shear_y_count",
                          "imu_count",     "battery_count",  "load_count",         "cop_count"};
  for (size_t i = 0; i < 9; ++i) field(counts[i], "|u1", offsetof(Record, aligned_count) + i);
  if (gait_events) {
    // The event is also its time's count: a time is there when an event is.
    field("gait_event", "|u1", kGaitOffset + offsetof(GaitRecord, event));
    field("gait_event_time_s", "<f8", kGaitOffset + offsetof(GaitRecord, time_s));
    when("gait_event_time_s", "gait_event", 0);
  }
  const size_t row_bytes = sizeof(Record) + (gait_events ? sizeof(GaitRecord) : 0);

  std::string columns;
  const std::string csv = csv_header(gait_events);
  for (size_t from = 0; from <= csv.size();) {
    const size_t to = std::min(csv.find(',', from), csv.size());
    columns += columns.empty() ? "[" : ",";
    append_json_string(columns, csv.substr(from, to - from));
    from = to + 1;
  }
  return "{\"row_bytes\":" + std::to_string(row_bytes) + ",\"block_rows\":" + std::to_string(kBlockRows) +
         ",\"columns\":" + columns + "],\"fields\":[" + fields +
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

// kGait: the rows carry the gait columns. A template, so that an export
// without them does no more per row than it ever did.
template <bool kGait>
class BinaryWriter : public RowWriter {
 public:
  explicit BinaryWriter(ExportOutput& out) : out_(out) {
    const std::string header = header_json(kGait);
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
      const std::array<float, 6> derived = m.physical();
      for (size_t i = 0; i < 6; ++i)
        r.derived[i] = std::isfinite(derived[i]) ? derived[i] : std::numeric_limits<float>::quiet_NaN();
      r.imu_count = 1;
    }
    if (const SampleForces& f = s.forces; f.load_count) {
      std::memcpy(r.load_n, f.load_n, f.load_count * sizeof(double));
      r.load_total_n = f.total_n;
      r.load_count = f.load_count;
    }
    if (s.forces.has_centre) {
      r.cop_x_mm = s.forces.centre_x_mm;
      r.cop_y_mm = s.forces.centre_y_mm;
      r.cop_count = 1;
    }
    if (s.battery) {
      r.battery_pct = s.battery->battery_pct;
      r.voltage_mv = s.battery->voltage_mv;
      r.battery_count = 1;
    }
    if constexpr (kGait) {
      GaitRecord& g = gait_[rows_ % kBlockRows];
      g = GaitRecord{};
      g.time_s = s.gait_event ? s.gait_event->time_s : std::numeric_limits<double>::quiet_NaN();
      g.event = static_cast<uint8_t>(s.gait_event ? s.gait_event->kind : GaitEventKind::kNone);
    }
    add(r);
  }

  // {"rows":N,"sources":[[device,foot],..]}; the last block is filled up
  // with zeros, which the row count leaves out.
  void finish() override {
    if (const size_t used = rows_ % kBlockRows) {
      std::fill(records_.begin() + static_cast<std::ptrdiff_t>(used), records_.end(), Record{});
      if constexpr (kGait) std::fill(gait_.begin() + static_cast<std::ptrdiff_t>(used), gait_.end(), GaitRecord{});
      write_block();
    }
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
  // Rows collect as records and go out a block at a time, turned column by
  // column in tiles of rows, so that each write fills whole cache lines.
  void add(const Record& r) {
    records_[rows_++ % kBlockRows] = r;
    if (rows_ % kBlockRows == 0) write_block();
  }

  void write_block() {
    constexpr size_t kTile = 64;
    constexpr size_t kRowBytes = sizeof(Record) + (kGait ? sizeof(GaitRecord) : 0);
    uint8_t* to = reinterpret_cast<uint8_t*>(out_.room(kBlockRows * kRowBytes));
    for (size_t base = 0; base < kBlockRows; base += kTile) {
      const Record* tile = &records_[base];
      auto column = [&]<size_t kSize>(size_t offset) {
        uint8_t* at = to + offset * kBlockRows + base * kSize;
        for (size_t i = 0; i < kTile; ++i)
          std::memcpy(at + i * kSize, reinterpret_cast<const uint8_t*>(&tile[i]) + offset, kSize);
      };
      for (size_t o = 0; o < offsetof(Record, device_time_ms); o += 8) column.template operator()<8>(o);
      for (size_t o = offsetof(Record, device_time_ms); o < offsetof(Record, aligned_count); o += 4)
        column.template operator()<4>(o);
      for (size_t o = offsetof(Record, aligned_count); o < sizeof(Record); ++o) column.template operator()<1>(o);
    }
    if constexpr (kGait) {
      uint8_t* times = to + (kGaitOffset + offsetof(GaitRecord, time_s)) * kBlockRows;
      uint8_t* events = to + (kGaitOffset + offsetof(GaitRecord, event)) * kBlockRows;
      for (size_t i = 0; i < kBlockRows; ++i) {
        std::memcpy(times + i * sizeof(double), &gait_[i].time_s, sizeof(double));
        events[i] = gait_[i].event;
      }
      // The reserved bytes' columns, zero as the Record's own are.
      std::memset(events + kBlockRows, 0, sizeof(GaitRecord::reserved) * kBlockRows);
    }
    out_.done(reinterpret_cast<char*>(to) + kBlockRows * kRowBytes);
  }

  uint32_t source(const std::string& device, const std::string& foot) {
    if (last_ < names_.size() && names_[last_].first == device && names_[last_].second == foot) return last_;
    auto [it, fresh] = index_.try_emplace({device, foot}, static_cast<uint32_t>(names_.size()));
    if (fresh) names_.emplace_back(device, foot);
    return last_ = it->second;
  }

  ExportOutput& out_;
  std::vector<Record> records_ = std::vector<Record>(kBlockRows);
  std::vector<GaitRecord> gait_ = std::vector<GaitRecord>(kGait ? kBlockRows : 0);
  uint64_t rows_ = 0;
  std::vector<std::pair<std::string, std::string>> names_;
  std::map<std::pair<std::string, std::string>, uint32_t> index_;
  uint32_t last_ = UINT32_MAX;
};

}  // namespace

std::unique_ptr<RowWriter> binary_writer(ExportOutput& out, bool gait_events) {
  if (gait_events) return std::make_unique<BinaryWriter<true>>(out);
  return std::make_unique<BinaryWriter<false>>(out);
}

}  // namespace insole
