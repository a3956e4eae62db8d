// The total vertical load of one pressure sample, the one number a foot's
// gait is read from. The same rule as the export's load_total_N column, so a
// capture analysed after the fact and the live stream see the same loads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "pressure/calibration.h"
#include "protocol/messages.h"

namespace tvis::c {

struct SampleLoad {
  double value = 0;
  bool newtons = false;  // false: the insole's own cell values, device units
};

// With cell resistances and a foot (2 or 3): the sum of the cells calibrated
// by the SDK, newtons to 0.001 N. Otherwise the sum of the insole's own
// calibrated cell values, device units. None without either.
inline std::optional<SampleLoad> sample_load(const protocol::SensorData& sd) {
  if (!sd.pressure_data) return std::nullopt;
  const protocol::PressureData& p = *sd.pressure_data;
  const bool foot_known = sd.device_id == protocol::DEVICE_LEFT || sd.device_id == protocol::DEVICE_RIGHT;
  if (!p.raw_pressure.empty() && foot_known) {
    const size_t n = std::min(p.raw_pressure.size(), pressure::PRESSURE_CHANNELS);
    const double total =
        pressure::calibrate_cells({p.raw_pressure.data(), n}, static_cast<uint8_t>(sd.device_id), nullptr);
    return SampleLoad{total, true};
  }
  if (p.pressure.empty()) return std::nullopt;
  const size_t n = std::min(p.pressure.size(), pressure::PRESSURE_CHANNELS);
  int64_t total = 0;
  for (size_t i = 0; i < n; ++i) total += p.pressure[i];
  return SampleLoad{static_cast<double>(total), false};
}

}  // namespace tvis::c
