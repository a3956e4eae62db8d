// The rules of a force table, applied a line at a time, so that text read in
// pieces (a file, an xz stream) and text in memory go through one road.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "insole/gait/force_table.h"

namespace insole {

class ForceTableBuilder {
 public:
  // Longest line accepted: a row of a few hundred numbers is far shorter, and
  // the bound keeps a file with no line breaks from growing one line forever.
  static constexpr std::size_t kMaxLineBytes = 1 << 20;

  ForceTableBuilder(const ForceTableColumns& columns, std::string_view name);

  // Feeds pieces of text in order; lines may span pieces. False after the
  // first fault (error() says it); later calls do nothing.
  bool feed(std::string_view piece);
  // The table, once every piece is fed: the last line needs no line break.
  tvis::Result<ForceTable, std::string> finish();

  const std::optional<std::string>& error() const { return error_; }
  void reserve_rows(std::size_t rows);

 private:
  bool line(std::string_view text);
  bool fail(std::string what);
  bool check_columns_fit(int columns_in_row);

  ForceTableColumns columns_;
  std::string name_;
  ForceTable table_;
  std::string pending_;  // a line begun in an earlier piece
  std::size_t line_number_ = 0;
  int row_columns_ = 0;  // set by the first row; every row must have as many
  std::optional<std::string> error_;
};

}  // namespace insole
