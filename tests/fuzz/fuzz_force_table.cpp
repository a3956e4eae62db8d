// The force-table reader over any text: the first three bytes choose the
// columns (time, and each foot's range) and where the text is cut in two, the
// rest is the table. Whatever it reads must be a well-formed table, whatever it
// refuses must be one line naming the input, and the text read whole or in two
// pieces must give the same answer.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "insole/gait/force_table.h"
#include "insole/gait/force_table_builder.h"

using insole::ForceTable;
using insole::ForceTableColumns;

namespace {

void check_table(const ForceTable& t) {
  if (t.samples() == 0) __builtin_trap();
  if (t.left_n.size() != t.samples() * static_cast<std::size_t>(t.left_sensors)) __builtin_trap();
  if (t.right_n.size() != t.samples() * static_cast<std::size_t>(t.right_sensors)) __builtin_trap();
  for (std::size_t i = 0; i < t.samples(); ++i) {
    if (!std::isfinite(t.time_s[i]) || (i && !(t.time_s[i] > t.time_s[i - 1]))) __builtin_trap();
  }
  for (double v : t.left_n) if (!std::isfinite(v)) __builtin_trap();
  for (double v : t.right_n) if (!std::isfinite(v)) __builtin_trap();
}

void check_error(const std::string& e) {
  if (e.rfind("in:", 0) != 0 || e.find('\n') != std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Small column numbers, so that most choices fit the rows the fuzzer writes.
  const int time = 1 + data[0] % 4;
  const int left_first = 1 + (data[0] >> 2) % 6, left_count = 1 + (data[0] >> 5);
  const int right_first = 1 + data[1] % 12, right_count = 1 + (data[1] >> 4) % 8;
  const ForceTableColumns columns{time, {left_first, left_first + left_count - 1},
                                  {right_first, right_first + right_count - 1}};
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

  auto whole = insole::parse_force_table(text, columns, "in");
  insole::ForceTableBuilder builder(columns, "in");
  const std::size_t cut = text.empty() ? 0 : data[2] % (text.size() + 1);
  builder.feed(text.substr(0, cut));
  builder.feed(text.substr(cut));
  auto pieces = builder.finish();

  if (whole.ok() != pieces.ok()) __builtin_trap();
  if (whole) {
    check_table(*whole);
    if (whole->time_s != pieces->time_s || whole->left_n != pieces->left_n || whole->right_n != pieces->right_n)
      __builtin_trap();
  } else {
    check_error(whole.error());
    if (whole.error() != pieces.error()) __builtin_trap();
  }
  return 0;
}
