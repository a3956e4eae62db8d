// Turns a capture into one row per sensor sample, for analysis tools: CSV with
// named columns, JSON lines that wrap each message's JSON text with the
// sample's times and identity, or binary column blocks for programs.
// All carry the host receive time, the device time aligned onto the host
// clock (so left and right share one time axis), and a gap column: the
// samples estimated missing just before this one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "layout/cell_layout.h"

namespace insole {

enum class ExportFormat { Csv, JsonLines, Binary };

struct ExportTotals {
  uint64_t samples = 0;
  uint64_t gaps = 0;           // samples estimated missing
  uint64_t undecodable = 0;    // frames whose payload did not decode
};

class RowWriter;
struct Sample;
struct GaitMark;

// Says which gait event each row starts, asked once per row in capture order
// (null: none). The export knows nothing of how events are found; the gait
// room, which reads captures through this export, supplies them.
class GaitMarks {
 public:
  virtual ~GaitMarks() = default;
  virtual const GaitMark* at(const Sample& sample) = 0;
};

// Reads the capture at path ("-": standard input) and writes rows to out;
// the centre of pressure is placed on the given cell layout. With gait_marks,
// each row ends in the gait columns, filled from it.
// Throws std::runtime_error for unreadable input or a refused write.
ExportTotals export_capture(const std::string& path, ExportFormat format, std::FILE* out,
                            const tvis::layout::CellLayout& layout = tvis::layout::default_layout(),
                            GaitMarks* gait_marks = nullptr);

// The same reading, with each sample handed to writer (other analyses of a
// capture reuse the one decoding road); writer.finish() is called at the end.
ExportTotals export_capture_rows(const std::string& path, RowWriter& writer,
                                 const tvis::layout::CellLayout& layout = tvis::layout::default_layout());

}  // namespace insole
