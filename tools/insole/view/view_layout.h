// Where the 48 cells of an insole sit, for the browser view's pressure maps
// and the centre of pressure. The wire carries cell values by index only; a
// layout file gives each index a centre and a size in millimetres on the left
// foot (the right foot is its mirror image).
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace insole {

inline constexpr size_t kLayoutCells = 48;

struct CellBox {
  double x = 0, y = 0;  // centre, mm; x toward the big toe of the left foot, y heel to toe
  double w = 0, h = 0;  // size, mm
};

struct Point {
  double x = 0, y = 0;
};

struct CellLayout {
  std::string name;
  std::array<CellBox, kLayoutCells> cells{};
  std::vector<Point> outline;  // the insole's contour, optional
  std::vector<Point> shear;    // where the shear sensors sit, optional (at most 3)
};

// Reads a layout from JSON text; throws std::runtime_error with a one-line
// reason ("cell 7: w must be a number above 0") for text that is not one.
CellLayout parse_layout(std::string_view json);

// The layout file, or the built-in default for an empty path. Errors name
// the file: "cannot read FILE: ...", "FILE: not a cell layout: ...".
CellLayout load_layout(const std::string& path);

// The layout as the page reads it (compact JSON, left foot).
std::string layout_json(const CellLayout& layout);

// The load-weighted mean of the cell centres, for the given foot (a right
// foot mirrors x). Loads below zero count as zero; no load, no centre.
std::optional<Point> centre_of_pressure(const CellLayout& layout, std::span<const double> loads, bool right_foot);

}  // namespace insole
