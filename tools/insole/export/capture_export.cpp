#include "insole/export/capture_export.h"

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

namespace insole {

namespace {

using namespace tvis::protocol;

// One insole's running state across the capture.
struct Device {
  InsoleStreamParser parser;
  std::optional<uint32_t> last_seq;
  tvis::capture::ClockAlignment clock;
  std::optional<BatteryData> battery;  // the latest report, carried into rows
};

std::unique_ptr<RowWriter> writer_for(ExportFormat format, ExportOutput& out) {
  switch (format) {
    case ExportFormat::JsonLines:
      return jsonl_writer(out);
    case ExportFormat::Binary:
      return binary_writer(out);
    case ExportFormat::Csv:
      break;
  }
  return csv_writer(out);
}

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
  if (std::fwrite(buffer_.data(), 1, size, out_) != size) throw std::runtime_error("cannot write the export");
}

ExportTotals export_capture(const std::string& path, ExportFormat format, std::FILE* out) {
  ExportTotals totals;
  std::map<std::string, Device, std::less<>> devices;
  InsoleResp msg;
  DecodeError error;
  ExportOutput output(out);
  const std::unique_ptr<RowWriter> writer = writer_for(format, output);

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
      int64_t aligned = 0;
      if (n.host_time_ns) aligned = dev.clock.align(sd.timestamp_ms, n.host_time_ns);
      writer->row(Sample{n.device_id, n.foot, n.host_time_ns, n.host_time_ns ? &aligned : nullptr, gap, msg,
                         dev.battery ? &*dev.battery : nullptr});
    });
    output.flush_if_due();
  });
  writer->finish();
  output.flush();
  return totals;
}

}  // namespace insole
