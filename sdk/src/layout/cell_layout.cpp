#include "layout/cell_layout.h"

namespace tvis::layout {

const char* region_name(Region region) {
  switch (region) {
    case Region::Heel:
      return "heel";
    case Region::Midfoot:
      return "midfoot";
    case Region::Forefoot:
      return "forefoot";
    case Region::Toes:
      return "toes";
  }
  return "heel";
}

std::optional<Region> region_from_name(std::string_view name) {
  for (Region r : kRegions)
    if (name == region_name(r)) return r;
  return std::nullopt;
}

Region region_at(double y, double heel_y, double toe_y) {
  const double length = toe_y - heel_y;
  const double along = length > 0 ? (y - heel_y) / length : 0;
  if (along < 0.3) return Region::Heel;
  if (along < 0.6) return Region::Midfoot;
  if (along < 0.9) return Region::Forefoot;
  return Region::Toes;
}

std::optional<Point> centre_of_pressure(const CellLayout& layout, std::span<const double> loads, bool right_foot) {
  double total = 0, x = 0, y = 0;
  for (size_t i = 0; i < loads.size() && i < kLayoutCells; ++i) {
    const double load = loads[i] > 0 ? loads[i] : 0;
    total += load;
    x += load * layout.cells[i].x;
    y += load * layout.cells[i].y;
  }
  if (total <= 0) return std::nullopt;
  return Point{(right_foot ? -x : x) / total, y / total};
}

}  // namespace tvis::layout
