// What `insole gait` analyses, whatever it was read from: both feet's samples
// on one time base, held here, with the units the output names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gait/recording.h"

namespace insole {

struct GaitFootSamples {
  std::vector<double> time_s;   // seconds, one base for both feet
  std::vector<double> load;     // per sample; empty: the sum of the sensors
  std::vector<double> sensors;  // row-major, samples x sensor_count
  size_t sensor_count = 0;
  std::vector<tvis::gait::SensorPlace> places;
  std::vector<std::string> regions;
  std::vector<uint64_t> gap_before;
  std::vector<double> centre_x, centre_y;  // per sample, in place_unit; NaN: none; empty: from the places
};

struct GaitInput {
  std::string name;                  // the file, as given
  std::string load_unit = "n";       // key suffix: "n" (newtons) or "device_units"
  std::string place_unit = "mm";     // the unit of the sensor places
  GaitFootSamples feet[2];           // left, right
  // Per region, the area of its cells in mm^2, when the loads are newtons on
  // cells of known size: the strides then carry region pressures in kPa.
  std::vector<double> region_area_mm2;

  tvis::gait::FootInput view(int foot) const;
};

}  // namespace insole
