// The forms `insole export` writes, behind one interface: the export loop
// decodes each sample once and hands it to a row writer, which appends its
// text or bytes to one large output buffer that goes out in big blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "insole/export/export_forces.h"
#include "protocol/messages.h"

namespace insole {

// The gait event a row starts, in an export with the gait columns
// (--gait-events). The kinds are the binary column's values.
enum class GaitEventKind : uint8_t { kNone = 0, kContact = 1, kFootOff = 2 };

struct GaitMark {
  GaitEventKind kind = GaitEventKind::kNone;
  double time_s = 0;  // device clock aligned onto the host clock, s
};

// One sensor sample with what the capture says around it.
struct Sample {
  const std::string& device_id;
  const std::string& foot;
  int64_t host_time_ns;                        // 0 in a raw capture
  const int64_t* aligned_time_ns;              // null without receive times
  uint32_t gap;                                // samples estimated missing just before
  const tvis::protocol::InsoleResp& message;   // carries sensor_data
  const tvis::protocol::BatteryData* battery;  // this sample's, or the latest before it
  const SampleForces& forces;                  // loads in N and centre of pressure in mm
  const GaitMark* gait_event = nullptr;        // the event this sample starts; only writers with
                                               // the gait columns read it
};

// Output collected in one buffer and written with a few large writes.
// The output refused a write; error is its errno.
struct OutputRefused : std::runtime_error {
  explicit OutputRefused(int e) : std::runtime_error(std::string("cannot write the export: ") + std::strerror(e)), error(e) {}
  int error;
};

class ExportOutput {
 public:
  explicit ExportOutput(std::FILE* out) : out_(out), buffer_(kBlock) {}

  // Room for n bytes at the returned pointer; call done() with the end of
  // what was written there.
  char* room(size_t n) {
    if (buffer_.size() - used_ < n) {
      flush();
      if (buffer_.size() < n) buffer_.resize(n);
    }
    return buffer_.data() + used_;
  }
  void done(const char* end) { used_ = static_cast<size_t>(end - buffer_.data()); }
  void append(const char* data, size_t n);
  // Between notifications: a reader at the other end of a pipe gets rows in
  // modest blocks rather than only when the buffer is full.
  void flush_if_due() {
    if (used_ >= kDue) flush();
  }
  // Writes what is buffered; throws OutputRefused when the output refuses it.
  void flush();

 private:
  static constexpr size_t kBlock = 1 << 20;
  static constexpr size_t kDue = 1 << 16;
  std::FILE* out_;
  std::vector<char> buffer_;
  size_t used_ = 0;
};

class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual void row(const Sample& sample) = 0;
  // After the last row: whatever closes the form.
  virtual void finish() {}
};

// With gait_events, each row ends in the two gait columns (gait_event,
// gait_event_time_s); without, the rows are as they always were, with no
// work spent on columns that are not there.
std::unique_ptr<RowWriter> csv_writer(ExportOutput& out, bool gait_events);
std::unique_ptr<RowWriter> jsonl_writer(ExportOutput& out, bool gait_events);
std::unique_ptr<RowWriter> binary_writer(ExportOutput& out, bool gait_events);

// The CSV header line, without its line feed.
std::string csv_header(bool gait_events = false);

// A gait event's name in the text forms: "contact", "foot_off"; empty for none.
std::string_view gait_event_name(GaitEventKind kind);

}  // namespace insole
