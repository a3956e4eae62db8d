// Layout files are given by hand (`insole view --layout FILE`, `insole export
// --layout FILE`): any text must be read as a layout or refused with one
// reason, never a crash, a hang or an exception of another kind. A layout
// that is taken keeps the bounds the reader promises (sizes above 0, nothing
// past a metre, at most 512 outline and 3 shear points) and can be written.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "insole/view/view_layout.h"

namespace {

bool within(double v) { return std::isfinite(v) && std::fabs(v) <= 1000; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  insole::CellLayout layout;
  try {
    layout = insole::parse_layout(text);
  } catch (const std::runtime_error&) {
    return 0;
  }
  for (const insole::CellBox& c : layout.cells)
    if (!within(c.x) || !within(c.y) || !within(c.w) || !within(c.h) || c.w <= 0 || c.h <= 0) __builtin_trap();
  if (layout.outline.size() > 512 || layout.shear.size() > 3) __builtin_trap();
  (void)insole::layout_json(layout);
  (void)insole::layout_document(layout, true);
  return 0;
}
