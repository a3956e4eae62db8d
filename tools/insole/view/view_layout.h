// Layout files: the SDK's cell layout (layout/cell_layout.h) read from JSON
// and written as JSON, for the view's pressure maps, `insole layout` and the
// export's centre of pressure. A file places each cell index 0..47 with a
// centre and a size in mm on the left foot, and optionally its region.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "layout/cell_layout.h"

namespace insole {

using tvis::layout::CellBox;
using tvis::layout::CellLayout;
using tvis::layout::centre_of_pressure;
using tvis::layout::kLayoutCells;
using tvis::layout::Point;

// Reads a layout from JSON text; throws std::runtime_error with a one-line
// reason ("cell 7: w must be a number above 0") for text that is not one.
CellLayout parse_layout(std::string_view json);

// The layout file, or the SDK's built-in layout for an empty path. Errors name
// the file: "cannot read FILE: ...", "FILE: not a cell layout: ...".
CellLayout load_layout(const std::string& path);

// The layout as the page reads it (compact JSON, left foot).
std::string layout_json(const CellLayout& layout);

// The layout for people and scripts (`insole layout`): the cells as they lie
// on the given foot, with their units in the key names (x_mm, y_mm, w_mm,
// h_mm) and their regions, and the outline and shear sensors likewise.
std::string layout_document(const CellLayout& layout, bool right_foot);

}  // namespace insole
