#include "insole/export/capture_export.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>

#include "capture/clock_alignment.h"
#include "insole/capture/capture_reader.h"
#include "insole/export/export_rows.h"
#include "protocol/codec.h"
#include "protocol/parser.h"
#include "protocol/sequence.h"
#include "protocol/message_stream.h"

namespace insole {

namespace {

using namespace tvis::protocol;

// One insole's running state across the capture. Its stream is lenient: a
// frame whose CRC fails is exported like the receive path would use it.
struct Device {
  MessageStream stream;
  tvis::capture::ClockAlignment clock;
  std::optional<BatteryData> battery;  // the latest report, carried into rows
  std::string foot;  // the foot the insole's own messages name, for captures that name none
};

// A raw capture or a snoop log names no foot; the insole names its own in
// every sample and in its device information.
void learn_foot(Device& dev, int32_t device_id) {
  if (device_id == DEVICE_LEFT) dev.foot = "left";
  if (device_id == DEVICE_RIGHT) dev.foot = "right";
}

// Every sample of one notification as a row.
class RowsOf final : public StreamHandler {
 public:
  RowsOf(const Notification& n, Device& dev, RowWriter& writer, ExportTotals& totals,
         const ForceDerivation& derivation, SampleForces& forces)
      : n_(n), dev_(dev), writer_(writer), totals_(totals), derivation_(derivation), forces_(forces) {}

  bool on_decode_error(MessageStream&, const StreamFrame&, const DecodeError&) override {
    ++totals_.undecodable;
    return true;
  }
  bool on_message(MessageStream&, const StreamFrame&, InsoleResp& msg, const SequenceStep* step) override {
    if (msg.battery_data) dev_.battery = msg.battery_data;
    if (msg.device_info) learn_foot(dev_, msg.device_info->device_id);
    if (!msg.sensor_data) return true;
    const SensorData& sd = *msg.sensor_data;
    learn_foot(dev_, sd.device_id);
    if (sd.battery_data) dev_.battery = sd.battery_data;
    const uint32_t gap = step ? step->estimated_lost() : 0;
    totals_.gaps += gap;
    ++totals_.samples;
    // A log time at or past 2^63 ns (the year 2262: a forged or broken
    // clock) is written as it stands but not aligned, whose arithmetic is
    // signed: its aligned time is left empty rather than wrapped negative.
    const bool alignable = n_.host_time_ns > 0;
    int64_t aligned = 0;
    if (alignable) aligned = dev_.clock.align(sd.timestamp_ms, n_.host_time_ns);
    const std::string& foot = n_.foot == "unknown" && !dev_.foot.empty() ? dev_.foot : n_.foot;
    derivation_.derive(sd, foot, forces_);
    writer_.row(Sample{n_.device_id, foot, n_.host_time_ns, alignable ? &aligned : nullptr, gap, msg,
                       dev_.battery ? &*dev_.battery : nullptr, forces_});
    return true;
  }

 private:
  const Notification& n_;
  Device& dev_;
  RowWriter& writer_;
  ExportTotals& totals_;
  const ForceDerivation& derivation_;
  SampleForces& forces_;
};

std::unique_ptr<RowWriter> writer_for(ExportFormat format, ExportOutput& out, bool gait_events) {
  switch (format) {
    case ExportFormat::JsonLines:
      return jsonl_writer(out, gait_events);
    case ExportFormat::Binary:
      return binary_writer(out, gait_events);
    case ExportFormat::Csv:
      break;
  }
  return csv_writer(out, gait_events);
}

// Puts each row's gait event on it before it is written. Only an export with
// the gait columns goes through here, so one without them pays nothing.
class MarkedRows final : public RowWriter {
 public:
  MarkedRows(RowWriter& rows, GaitMarks& marks) : rows_(rows), marks_(marks) {}

  void row(const Sample& s) override {
    Sample marked = s;
    marked.gait_event = marks_.at(s);
    rows_.row(marked);
  }
  void finish() override { rows_.finish(); }

 private:
  RowWriter& rows_;
  GaitMarks& marks_;
};

}  // namespace

void ExportOutput::append(const char* data, size_t n) {
  char* p = room(n);
  std::memcpy(p, data, n);
  done(p + n);
}

void ExportOutput::flush() {
  if (used_ == 0) return;
  const size_t size = used_;
  used_ = 0;
  if (std::fwrite(buffer_.data(), 1, size, out_) != size) throw OutputRefused(errno);
}

namespace {

ExportTotals read_rows(const std::string& path, RowWriter& writer, const tvis::layout::CellLayout& layout,
                       ExportOutput* output) {
  ExportTotals totals;
  std::map<std::string, Device, std::less<>> devices;
  const ForceDerivation derivation(layout);
  SampleForces forces;

  read_capture(path, [&](const Notification& n) {
    Device& dev = devices[n.device_id];
    RowsOf rows(n, dev, writer, totals, derivation, forces);
    dev.stream.feed(n.bytes, rows, Feeding::pieces);
    if (output != nullptr) output->flush_if_due();
  });
  writer.finish();
  return totals;
}

}  // namespace

ExportTotals export_capture(const std::string& path, ExportFormat format, std::FILE* out,
                            const tvis::layout::CellLayout& layout, GaitMarks* gait_marks) {
  ExportOutput output(out);
  const std::unique_ptr<RowWriter> writer = writer_for(format, output, gait_marks != nullptr);
  ExportTotals totals;
  if (gait_marks != nullptr) {
    MarkedRows marked(*writer, *gait_marks);
    totals = read_rows(path, marked, layout, &output);
  } else {
    totals = read_rows(path, *writer, layout, &output);
  }
  output.flush();
  return totals;
}

ExportTotals export_capture_rows(const std::string& path, RowWriter& writer, const tvis::layout::CellLayout& layout) {
  return read_rows(path, writer, layout, nullptr);
}

}  // namespace insole
