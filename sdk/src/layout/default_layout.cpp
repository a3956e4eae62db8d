#include "layout/cell_layout.h"

namespace tvis::layout {

// A default arrangement, not the geometry of a real insole: four columns under
// the heel and the arch, six under the ball of the foot and the toes, 13 x 18
// mm each. The regions follow the rows: three rows each for heel, midfoot and
// forefoot, the last row under the toes.
const CellLayout& default_layout() {
  static const CellLayout layout{
      "default 48-cell layout",
      "A default arrangement, not the geometry of a real insole: replace it with the cell positions of "
      "your insole (--layout FILE). Millimetres; x grows toward the big toe, y from heel to toe; the "
      "right foot is this one mirrored (x -> -x).",
      {{
    {-23.2, 22.0, 13.0, 18.0, Region::Heel},  // 0
    {-7.8, 22.0, 13.0, 18.0, Region::Heel},  // 1
    {7.8, 22.0, 13.0, 18.0, Region::Heel},  // 2
    {23.2, 22.0, 13.0, 18.0, Region::Heel},  // 3
    {-24.2, 42.0, 13.0, 18.0, Region::Heel},  // 4
    {-8.8, 42.0, 13.0, 18.0, Region::Heel},  // 5
    {6.8, 42.0, 13.0, 18.0, Region::Heel},  // 6
    {22.2, 42.0, 13.0, 18.0, Region::Heel},  // 7
    {-26.2, 62.0, 13.0, 18.0, Region::Heel},  // 8
    {-10.8, 62.0, 13.0, 18.0, Region::Heel},  // 9
    {4.8, 62.0, 13.0, 18.0, Region::Heel},  // 10
    {20.2, 62.0, 13.0, 18.0, Region::Heel},  // 11
    {-29.2, 84.0, 13.0, 18.0, Region::Midfoot},  // 12
    {-13.8, 84.0, 13.0, 18.0, Region::Midfoot},  // 13
    {1.8, 84.0, 13.0, 18.0, Region::Midfoot},  // 14
    {17.2, 84.0, 13.0, 18.0, Region::Midfoot},  // 15
    {-30.2, 106.0, 13.0, 18.0, Region::Midfoot},  // 16
    {-14.8, 106.0, 13.0, 18.0, Region::Midfoot},  // 17
    {0.8, 106.0, 13.0, 18.0, Region::Midfoot},  // 18
    {16.2, 106.0, 13.0, 18.0, Region::Midfoot},  // 19
    {-28.2, 128.0, 13.0, 18.0, Region::Midfoot},  // 20
    {-12.8, 128.0, 13.0, 18.0, Region::Midfoot},  // 21
    {2.8, 128.0, 13.0, 18.0, Region::Midfoot},  // 22
    {18.2, 128.0, 13.0, 18.0, Region::Midfoot},  // 23
    {-39.8, 150.0, 13.0, 18.0, Region::Forefoot},  // 24
    {-24.2, 150.0, 13.0, 18.0, Region::Forefoot},  // 25
    {-8.8, 150.0, 13.0, 18.0, Region::Forefoot},  // 26
    {6.8, 150.0, 13.0, 18.0, Region::Forefoot},  // 27
    {22.2, 150.0, 13.0, 18.0, Region::Forefoot},  // 28
    {37.8, 150.0, 13.0, 18.0, Region::Forefoot},  // 29
    {-37.8, 172.0, 13.0, 18.0, Region::Forefoot},  // 30
    {-22.2, 172.0, 13.0, 18.0, Region::Forefoot},  // 31
    {-6.8, 172.0, 13.0, 18.0, Region::Forefoot},  // 32
    {8.8, 172.0, 13.0, 18.0, Region::Forefoot},  // 33
    {24.2, 172.0, 13.0, 18.0, Region::Forefoot},  // 34
    {39.8, 172.0, 13.0, 18.0, Region::Forefoot},  // 35
    {-35.8, 194.0, 13.0, 18.0, Region::Forefoot},  // 36
    {-20.2, 194.0, 13.0, 18.0, Region::Forefoot},  // 37
    {-4.8, 194.0, 13.0, 18.0, Region::Forefoot},  // 38
    {10.8, 194.0, 13.0, 18.0, Region::Forefoot},  // 39
    {26.2, 194.0, 13.0, 18.0, Region::Forefoot},  // 40
    {41.8, 194.0, 13.0, 18.0, Region::Forefoot},  // 41
    {-33.8, 218.0, 13.0, 18.0, Region::Toes},  // 42
    {-18.2, 218.0, 13.0, 18.0, Region::Toes},  // 43
    {-2.8, 218.0, 13.0, 18.0, Region::Toes},  // 44
    {12.8, 218.0, 13.0, 18.0, Region::Toes},  // 45
    {28.2, 218.0, 13.0, 18.0, Region::Toes},  // 46
    {43.8, 218.0, 13.0, 18.0, Region::Toes},  // 47
      }},
      {{24, 4.0}, {35.0, 22.0}, {34.0, 42.0}, {32.0, 62.0}, {29.0, 84.0}, {28.0, 106.0}, {30.0, 128.0}, {49.5, 150.0}, {51.5, 172.0}, {53.5, 194.0}, {55.5, 218.0}, {32, 238.0}, {-16, 238.0}, {-45.5, 218.0}, {-47.5, 194.0}, {-49.5, 172.0}, {-51.5, 150.0}, {-40.0, 128.0}, {-42.0, 106.0}, {-41.0, 84.0}, {-38.0, 62.0}, {-36.0, 42.0}, {-35.0, 22.0}, {-24, 4.0}},
      {{0.0, 32.0}, {-6.0, 106.0}, {3.0, 183.0}},
  };
  return layout;
}

}  // namespace tvis::layout
