#include "insole/gait/force_table_gait.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace insole {

tvis::Result<SensorLayout, std::string> read_sensor_layout(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "cannot read " + path + ": " + std::strerror(errno);
  SensorLayout layout;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    double x = 0, y = 0;
    std::string rest;
    if (!(fields >> x)) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      return path + " line " + std::to_string(number) + ": expected \"X Y\"";
    }
    if (!(fields >> y) || (fields >> rest)) return path + " line " + std::to_string(number) + ": expected \"X Y\"";
    layout.x.push_back(x);
    layout.y.push_back(y);
  }
  if (layout.x.empty()) return path + ": no sensor places";
  return layout;
}

tvis::Result<GaitInput, std::string> gait_input_of(ForceTable table, const std::string& name,
                                                   const SensorLayout* layout) {
  const int counts[2] = {table.left_sensors, table.right_sensors};
  if (layout != nullptr && (static_cast<int>(layout->x.size()) != counts[0] || counts[0] != counts[1]))
    return name + ": the layout places " + std::to_string(layout->x.size()) + " sensors, the table has " +
           std::to_string(counts[0]) + " left and " + std::to_string(counts[1]) + " right";
  GaitInput input;
  input.name = name;
  input.load_unit = "n";
  input.place_unit = "layout_units";
  std::vector<double>* values[2] = {&table.left_n, &table.right_n};
  for (int f = 0; f < 2; ++f) {
    GaitFootSamples& foot = input.feet[f];
    foot.time_s = f == 0 ? table.time_s : std::move(table.time_s);
    foot.sensors = std::move(*values[f]);
    foot.sensor_count = static_cast<size_t>(counts[f]);
    for (int k = 0; k < counts[f]; ++k) {
      tvis::gait::SensorPlace place;
      place.region = static_cast<size_t>(k);
      if (layout != nullptr) {
        place.placed = true;
        place.x = f == 0 ? layout->x[k] : -layout->x[k];
        place.y = layout->y[k];
      }
      foot.places.push_back(place);
      foot.regions.push_back((f == 0 ? "L" : "R") + std::to_string(k + 1));
    }
  }
  return input;
}

}  // namespace insole
