#include "insole/export/export_forces.h"

#include <algorithm>
#include <cmath>

#include "pressure/calibration.h"

namespace insole {

namespace {

using tvis::layout::kLayoutCells;

uint8_t foot_of(const tvis::protocol::SensorData& sample, std::string_view capture_foot) {
  if (sample.device_id == 2 || sample.device_id == 3) return static_cast<uint8_t>(sample.device_id);
  if (capture_foot == "left") return 2;
  if (capture_foot == "right") return 3;
  return 0;
}

}  // namespace

void ForceDerivation::derive(const tvis::protocol::SensorData& sample, std::string_view capture_foot,
                             SampleForces& out) const {
  out.load_count = 0;
  out.total_n = 0;
  out.has_centre = false;
  if (!sample.pressure_data) return;
  const auto& raw = sample.pressure_data->raw_pressure;
  const uint8_t foot = foot_of(sample, capture_foot);
  const bool right = foot == 3;
  double weights[kLayoutCells];
  size_t weighed = 0;
  if (!raw.empty() && foot != 0) {
    const size_t n = std::min(raw.size(), kLayoutCells);
    out.total_n = tvis::pressure::calibrate_cells({raw.data(), n}, foot, out.load_n);
    out.load_count = static_cast<uint8_t>(n);
    std::copy_n(out.load_n, n, weights);
    weighed = n;
  } else if (!sample.pressure_data->pressure.empty()) {
    const auto& own = sample.pressure_data->pressure;
    weighed = std::min(own.size(), kLayoutCells);
    for (size_t i = 0; i < weighed; ++i) weights[i] = static_cast<double>(own[i]);
  }
  if (const auto centre = tvis::layout::centre_of_pressure(layout_, {weights, weighed}, right)) {
    out.has_centre = true;
    // To a micrometre: finer says nothing about a cell 13 mm wide, and
    // shorter text is quicker to write and to read.
    out.centre_x_mm = std::round(centre->x * 1000.0) / 1000.0 + 0.0;
    out.centre_y_mm = std::round(centre->y * 1000.0) / 1000.0 + 0.0;
  }
}

}  // namespace insole
