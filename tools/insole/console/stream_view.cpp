#include "insole/console/stream_view.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "insole/console/terminal.h"
#include "insole/console/text.h"

namespace insole {

namespace {

// A heat ramp through the 256-colour cube: blue, cyan, green, yellow, red.
constexpr std::array<int, 25> kRamp = {17, 18, 19, 20, 21, 27, 33, 39, 45, 51, 50, 49, 48,
                                       47, 46, 82, 118, 154, 190, 226, 220, 214, 208, 202, 196};
// The mock insole's cells span 0 to 1000; louder feet stretch the scale.
constexpr int32_t kFullScale = 1000;

std::string battery_text(const FootState& f) {
  return f.has_battery ? strf("%u%% %u mV", f.battery_pct, f.voltage_mv) : std::string("-");
}

std::string imu_text(const FootState& f) {
  return strf("acc %.1f %.1f %.1f mg, gyro %.1f %.1f %.1f dps", f.acc_mg[0], f.acc_mg[1], f.acc_mg[2],
                f.gyro_dps[0], f.gyro_dps[1], f.gyro_dps[2]);
}

std::string cell(int32_t value, int32_t scale) {
  const int32_t clamped = std::clamp(value, 0, scale);
  const size_t step = static_cast<size_t>(clamped) * (kRamp.size() - 1) / static_cast<size_t>(scale);
  // Dark text on the bright end of the ramp, light text on the dark end.
  const int text = step < 6 ? 231 : 16;
  return term::bg256(kRamp[step]) + term::fg256(text) + strf("%5d ", value) + term::reset();
}

}  // namespace

std::vector<std::string> foot_panel(const FootState& f, double fps) {
  std::vector<std::string> lines;
  lines.push_back(term::bold() + strf("%-8s", f.id.c_str()) + term::reset() +
                  strf(" seq %-7u %5.1f fps   lost %llu   battery %s", f.seq, fps,
                         static_cast<unsigned long long>(f.lost), battery_text(f).c_str()));
  lines.push_back("         " + imu_text(f));
  int32_t scale = kFullScale;
  for (int i = 0; i < f.pressure_count; ++i) scale = std::max(scale, f.pressure[static_cast<size_t>(i)]);
  for (int r = 0; r < kGridRows; ++r) {
    std::string row = "         ";
    for (int c = 0; c < kGridCols; ++c) {
      const int i = r * kGridCols + c;
      row += i < f.pressure_count ? cell(f.pressure[static_cast<size_t>(i)], scale) : std::string("     . ");
    }
    lines.push_back(std::move(row));
  }
  return lines;
}

std::string foot_summary(const FootState& f, double fps) {
  int64_t sum = 0;
  int32_t max = 0;
  for (int i = 0; i < f.pressure_count; ++i) {
    sum += f.pressure[static_cast<size_t>(i)];
    max = std::max(max, f.pressure[static_cast<size_t>(i)]);
  }
  const long long mean = f.pressure_count ? static_cast<long long>(sum / f.pressure_count) : 0;
  return strf("%s: seq %u, %.1f fps, lost %llu, battery %s, %s, pressure mean %lld max %d", f.id.c_str(), f.seq,
                fps, static_cast<unsigned long long>(f.lost), battery_text(f).c_str(), imu_text(f).c_str(), mean,
                max);
}

}  // namespace insole
