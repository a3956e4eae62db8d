// Where the 48 cells of an insole sit. The wire carries cell values by index
// only; a layout gives each index a centre and a size in millimetres and the
// region of the foot it lies under, so that a centre of pressure and loads per
// region can be computed. A layout describes the left foot: x grows toward the
// big toe, y from heel to toe; the right foot is its mirror image (x -> -x).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tvis::layout {

inline constexpr size_t kLayoutCells = 48;

enum class Region : uint8_t { Heel, Midfoot, Forefoot, Toes };
inline constexpr std::array kRegions = {Region::Heel, Region::Midfoot, Region::Forefoot, Region::Toes};

// "heel", "midfoot", "forefoot", "toes".
const char* region_name(Region region);
std::optional<Region> region_from_name(std::string_view name);

// The region under a point, for layouts that do not name their cells'
// regions: by where y lies along the foot's length (heel_y to toe_y, mm):
// the first 30 % heel, up to 60 % midfoot, up to 90 % forefoot, then toes.
Region region_at(double y, double heel_y, double toe_y);

struct CellBox {
  double x = 0, y = 0;  // centre, mm
  double w = 0, h = 0;  // size, mm
  Region region = Region::Heel;
};

struct Point {
  double x = 0, y = 0;  // mm
};

struct CellLayout {
  std::string name;
  std::string note;
  std::array<CellBox, kLayoutCells> cells{};
  std::vector<Point> outline;  // the insole's contour, optional
  std::vector<Point> shear;    // where the shear sensors sit, optional (at most 3)
};

// The built-in layout (left foot).
const CellLayout& default_layout();

// A cell as it lies on the given foot: the right foot mirrors x.
inline CellBox on_foot(const CellBox& cell, bool right_foot) {
  CellBox out = cell;
  if (right_foot) out.x = -out.x;
  return out;
}

// The load-weighted mean of the cell centres, on the given foot, in mm.
// Loads below zero (and NaN) count as zero; no load, no centre.
std::optional<Point> centre_of_pressure(const CellLayout& layout, std::span<const double> loads, bool right_foot);

}  // namespace tvis::layout
