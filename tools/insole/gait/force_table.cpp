// Parsing of column ranges and of the table's rows. Numbers are read with
// std::from_chars (locale-free, no stream per number): the public recordings
// are 280 files of about 12,000 rows by 19 columns each.
#include "insole/gait/force_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "insole/gait/force_table_builder.h"

namespace insole {
namespace {

// A column number a table can plausibly have; larger ones are typing faults.
constexpr int kMaxColumn = 100000;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Text from the input as it may appear in an error line: short, printable.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 24;
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  if (text.size() > kShown) out += "...";
  return out + "\"";
}

std::optional<int> column_number(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 || value > kMaxColumn)
    return std::nullopt;
  return value;
}

std::string range_text(const ColumnRange& r) {
  return r.first == r.last ? std::to_string(r.first) : std::to_string(r.first) + "-" + std::to_string(r.last);
}

bool overlaps(const ColumnRange& a, const ColumnRange& b) { return a.first <= b.last && b.first <= a.last; }

// Problems with the chosen columns that no row can cure.
std::optional<std::string> column_fault(const ForceTableColumns& c) {
  if (c.time_column < 1) return "the time column must be 1 or more";
  for (const auto* r : {&c.left, &c.right})
    if (r->first < 1 || r->last < r->first)
      return "column range " + range_text(*r) + " is not a range of columns counted from 1";
  if (overlaps(c.left, c.right))
    return "the left columns " + range_text(c.left) + " and the right columns " + range_text(c.right) + " overlap";
  for (const auto& [side, r] : {std::pair{"left", &c.left}, std::pair{"right", &c.right}})
    if (overlaps(*r, ColumnRange{c.time_column, c.time_column}))
      return "the time column " + std::to_string(c.time_column) + " is among the " + side + " columns " +
             range_text(*r);
  return std::nullopt;
}

enum class NumberFault { none, not_a_number, not_finite, out_of_range };

NumberFault read_number(std::string_view token, double& out) {
  const char* begin = token.data();
  const char* end = begin + token.size();
  // from_chars takes no leading '+', which other systems do write.
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && (*begin == '+' || *begin == '-')) return NumberFault::not_a_number;
  }
  const auto [stop, ec] = std::from_chars(begin, end, out);
  if (ec == std::errc::result_out_of_range) return NumberFault::out_of_range;
  if (ec != std::errc() || stop != end) return NumberFault::not_a_number;
  if (!std::isfinite(out)) return NumberFault::not_finite;
  return NumberFault::none;
}

std::string seconds_text(double s) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, s);
  return ec == std::errc() ? std::string(buf, end) + " s" : std::string("?");
}

}  // namespace

tvis::Result<ColumnRange, std::string> parse_column_range(std::string_view text) {
  const std::string_view t = trim(text);
  const auto dash = t.find('-');
  const auto first = column_number(trim(t.substr(0, dash)));
  const auto last = dash == std::string_view::npos ? first : column_number(trim(t.substr(dash + 1)));
  if (!first || !last)
    return std::string("column range " + quoted(text) + ": expected a column (5) or a range (2-9), counted from 1");
  if (*last < *first)
    return std::string("column range " + quoted(text) + ": the first column is after the last");
  return ColumnRange{*first, *last};
}

ForceTableBuilder::ForceTableBuilder(const ForceTableColumns& columns, std::string_view name)
    : columns_(columns), name_(name) {
  table_.left_sensors = columns.left.count();
  table_.right_sensors = columns.right.count();
  if (auto fault = column_fault(columns)) error_ = name_ + ": " + *fault;
}

void ForceTableBuilder::reserve_rows(std::size_t rows) {
  if (error_) return;
  table_.time_s.reserve(rows);
  table_.left_n.reserve(rows * static_cast<std::size_t>(table_.left_sensors));
  table_.right_n.reserve(rows * static_cast<std::size_t>(table_.right_sensors));
}

bool ForceTableBuilder::fail(std::string what) {
  error_ = name_ + ":" + std::to_string(line_number_) + ": " + std::move(what);
  return false;
}

bool ForceTableBuilder::feed(std::string_view piece) {
  while (!error_ && !piece.empty()) {
    const char* nl = static_cast<const char*>(std::memchr(piece.data(), '\n', piece.size()));
    const std::size_t take = nl ? static_cast<std::size_t>(nl - piece.data()) : piece.size();
    if (pending_.size() + take > kMaxLineBytes) {
      ++line_number_;
      return fail("a line longer than " + std::to_string(kMaxLineBytes) + " bytes (not a table of numbers)");
    }
    if (!nl) {
      pending_.append(piece);
      break;
    }
    if (pending_.empty()) {
      line(piece.substr(0, take));
    } else {
      pending_.append(piece.substr(0, take));
      line(pending_);
      pending_.clear();
    }
    piece.remove_prefix(take + 1);
  }
  return !error_;
}

bool ForceTableBuilder::check_columns_fit(int columns_in_row) {
  const int needed = std::max({columns_.time_column, columns_.left.last, columns_.right.last});
  if (needed <= columns_in_row) return true;
  const std::string which = needed == columns_.time_column ? "the time column " + std::to_string(needed)
                            : needed == columns_.left.last ? "the left columns " + range_text(columns_.left)
                                                           : "the right columns " + range_text(columns_.right);
  return fail(which + " reach past the " + std::to_string(columns_in_row) + " columns of the row");
}

bool ForceTableBuilder::line(std::string_view text) {
  ++line_number_;
  // A byte-order mark some editors put first is not part of the first number.
  if (line_number_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  text = trim(text);
  if (text.empty() || text.front() == '#') return true;

  const double* previous_time = table_.time_s.empty() ? nullptr : &table_.time_s.back();
  double time = 0;
  const std::size_t left_at = table_.left_n.size(), right_at = table_.right_n.size();
  table_.left_n.resize(left_at + static_cast<std::size_t>(table_.left_sensors));
  table_.right_n.resize(right_at + static_cast<std::size_t>(table_.right_sensors));

  int column = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && !is_space(text[end])) ++end;
    const std::string_view token = text.substr(at, end - at);
    at = end;
    while (at < text.size() && is_space(text[at])) ++at;
    ++column;

    double* target = nullptr;
    if (column == columns_.time_column) {
      target = &time;
    } else if (column >= columns_.left.first && column <= columns_.left.last) {
      target = &table_.left_n[left_at + static_cast<std::size_t>(column - columns_.left.first)];
    } else if (column >= columns_.right.first && column <= columns_.right.last) {
      target = &table_.right_n[right_at + static_cast<std::size_t>(column - columns_.right.first)];
    }
    if (!target) continue;  // a column nobody asked for (totals, labels)
    switch (read_number(token, *target)) {
      case NumberFault::none: break;
      case NumberFault::not_a_number:
        return fail("column " + std::to_string(column) + " holds " + quoted(token) + ", not a number");
      case NumberFault::not_finite:
        return fail("column " + std::to_string(column) + " holds " + quoted(token) + ", not a finite number");
      case NumberFault::out_of_range:
        return fail("column " + std::to_string(column) + " holds " + quoted(token) +
                    ", a number out of the range of a double");
    }
  }

  if (row_columns_ == 0) {
    if (!check_columns_fit(column)) return false;
    row_columns_ = column;
  } else if (column != row_columns_) {
    return fail(std::to_string(column) + " columns where the first row has " + std::to_string(row_columns_));
  }
  if (previous_time && time <= *previous_time)
    return fail(std::string(time == *previous_time ? "the time repeats (" : "the time goes backwards (") +
                seconds_text(time) + " after " + seconds_text(*previous_time) + ")");
  table_.time_s.push_back(time);
  return true;
}

tvis::Result<ForceTable, std::string> ForceTableBuilder::finish() {
  if (!error_ && !pending_.empty()) {
    const std::string last = std::move(pending_);
    pending_.clear();
    line(last);
  }
  if (error_) return std::string(*error_);
  if (table_.time_s.empty()) return std::string(name_ + ": no rows of numbers (an empty table)");
  return std::move(table_);
}

tvis::Result<ForceTable, std::string> parse_force_table(std::string_view text, const ForceTableColumns& columns,
                                                         std::string_view name) {
  ForceTableBuilder builder(columns, name);
  builder.reserve_rows(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  builder.feed(text);
  return builder.finish();
}

}  // namespace insole
