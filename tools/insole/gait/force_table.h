// Force tables from other systems: a text table of per-sensor forces in
// newtons, one row per sample, whitespace- or tab-separated, plain or xz.
// The columns that hold time and each foot's sensors are the caller's choice
// (counted from 1, as a person reads them). Every fault in the text becomes
// one line naming the file and the line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace insole {

// Columns counted from 1, both ends included.
struct ColumnRange {
  int first = 0;
  int last = 0;
  int count() const { return last - first + 1; }
};

struct ForceTableColumns {
  int time_column = 0;
  ColumnRange left, right;
};

// "2-9", or "5" for one column. Errors name the text and what is wrong.
tvis::Result<ColumnRange, std::string> parse_column_range(std::string_view text);

struct ForceTable {
  std::vector<double> time_s;  // seconds, as in the file; strictly increasing
  int left_sensors = 0, right_sensors = 0;
  // Newtons, row-major: sample i, sensor k at [i * sensors + k].
  std::vector<double> left_n, right_n;

  std::size_t samples() const { return time_s.size(); }
};

// Reads a file; decompresses xz (by its name ending in .xz or by its magic
// bytes) as a stream, so the text is never held whole in memory.
tvis::Result<ForceTable, std::string> read_force_table(const std::string& path, const ForceTableColumns& columns);

// The same rules over text in memory; `name` stands for the file in errors.
tvis::Result<ForceTable, std::string> parse_force_table(std::string_view text, const ForceTableColumns& columns,
                                                         std::string_view name);

}  // namespace insole
