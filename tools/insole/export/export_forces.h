// What the export derives from a sample beyond what the insole sent: the load
// on each cell in newtons, calibrated by the SDK from the cell resistances
// (ohms) when the sample carries them, their sum for the foot, and the centre
// of pressure in mm on the cell layout.
#pragma once

#include <cstdint>
#include <string_view>

#include "layout/cell_layout.h"
#include "protocol/messages.h"

namespace insole {

struct SampleForces {
  uint8_t load_count = 0;  // cells with a load: those the sample gave a resistance for
  double load_n[tvis::layout::kLayoutCells] = {};
  double total_n = 0;  // the sum of load_n to 0.001 N, when load_count > 0
  bool has_centre = false;
  double centre_x_mm = 0, centre_y_mm = 0;  // to 0.001 mm
};

class ForceDerivation {
 public:
  explicit ForceDerivation(const tvis::layout::CellLayout& layout) : layout_(layout) {}

  // The foot is the sample's device id when it names one (2 left, 3 right),
  // else the capture's ("left", "right"); with neither, the calibration has no
  // foot and there are no loads. The centre of pressure weighs the cells by
  // their loads, or by the insole's own calibrated values when it sent no
  // resistances (their unit cancels out; a mean of positions stays in mm).
  void derive(const tvis::protocol::SensorData& sample, std::string_view capture_foot, SampleForces& out) const;

 private:
  const tvis::layout::CellLayout& layout_;
};

}  // namespace insole
