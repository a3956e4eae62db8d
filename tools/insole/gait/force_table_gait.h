// A force table as gait input: each foot's sensor columns are its sensors,
// each its own region named after its column (L1.. and R1..), the load their
// sum, in newtons. A sensor layout, when given, places the sensors for the
// centre of pressure.
#pragma once

#include <string>

#include "insole/gait/force_table.h"
#include "insole/gait/gait_input.h"
#include "util/result.h"

namespace insole {

// Sensor places for a force table: one line per left-foot sensor column, in
// column order, "X Y" (the unit of the table's own description, e.g. mm);
// '#' starts a comment. The right foot is the mirror image (x -> -x).
struct SensorLayout {
  std::vector<double> x, y;
};

tvis::Result<SensorLayout, std::string> read_sensor_layout(const std::string& path);

tvis::Result<GaitInput, std::string> gait_input_of(ForceTable table, const std::string& name,
                                                   const SensorLayout* layout);

}  // namespace insole
