// How one insole's state looks: a panel with a shaded pressure grid for the
// terminal, and a one-line summary for logs and pipes.
#pragma once

#include <string>
#include <vector>

#include "insole/console/foot_monitor.h"

namespace insole {

inline constexpr int kGridRows = 6;
inline constexpr int kGridCols = 8;

// The panel: a status line, an IMU line and the 48 cells as 6 rows of 8,
// shaded by load (256-colour backgrounds when colour is on, numbers always).
std::vector<std::string> foot_panel(const FootState& foot, double fps);

// "left: seq 50, 50.0 fps, lost 0, battery 95% 4100 mV, acc ... mg, gyro ... dps, pressure mean 500 max 999"
std::string foot_summary(const FootState& foot, double fps);

}  // namespace insole
