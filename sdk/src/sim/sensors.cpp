#include "sim/sensors.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "pressure/calibration.h"

namespace tvis::sim {

namespace {

constexpr double kGravity = 9.80665;
constexpr double kMinLoadN = 0.3;     // below this a cell reads as open
constexpr double kMaxLoadN = 600.0;   // the top of the inverse tables
constexpr double kTableStepN = 0.1;

// The shear cells, per foot: three sensors of four quadrant cells, in the
// order front-medial, front-lateral, back-medial, back-lateral. The right
// insole is the mirror image of the left.
constexpr int kShearMap[2][kShearSensors][4] = {
    {{12, 37, 36, 5}, {38, 15, 6, 39}, {29, 30, 25, 26}},
    {{15, 38, 39, 6}, {37, 12, 5, 36}, {30, 29, 26, 25}},
};
constexpr double kSensorCentre[kShearSensors][2] = {{0.5, 0.14}, {0.68, 0.48}, {0.4, 0.8}};  // x, y
constexpr double kQuadrant[4][2] = {{-1, 1}, {1, 1}, {-1, -1}, {1, -1}};

struct Cell {
  double x, y;
  int sensor = -1;  // shear sensor, or -1 for a plain pressure cell
  int quadrant = 0;
};

struct Layout {
  Cell cells[kCells];
};

Layout make_layout(int side) {
  Layout l{};
  for (int k = 0; k < kShearSensors; ++k)
    for (int q = 0; q < 4; ++q) {
      Cell& c = l.cells[kShearMap[side][k][q]];
      c.sensor = k;
      c.quadrant = q;
      c.x = kSensorCentre[k][0] + 0.04 * kQuadrant[q][0];
      c.y = kSensorCentre[k][1] + 0.04 * kQuadrant[q][1];
    }
  // The 36 plain cells on a 9 x 4 grid, heel to toe.
  int n = 0;
  for (Cell& c : l.cells) {
    if (c.sensor >= 0) continue;
    c.x = 0.2 + 0.2 * (n % 4);
    c.y = 0.06 + 0.11 * (n / 4);
    ++n;
  }
  return l;
}

const Layout& layout(int32_t foot) {
  static const Layout left = make_layout(0), right = make_layout(1);
  return foot == 3 ? right : left;
}

// The calibration curves in kilograms-force over the conductance in mS, as
// the SDK evaluates them (pressure/calibration.cpp).
double cubic(double x, double c3, double c2, double c1, double c0) {
  const double x2 = x * x, x3 = x * x2;
  double t = (x3 * c3) + (x2 * c2);
  t = (x * c1) + t;
  return t + c0;
}
double curve(double x, bool shear_cell) {
  if (shear_cell) return cubic(x, 99791.477, -10538.512, 449.733, -4.682);
  return ((cubic(x, 2007.326985, -256.285963, 62.813675, -0.135223) +
           cubic(x, 2368.430831, -349.814487, 68.211981, -0.242637)) +
          cubic(x, 1768.265833, -238.361756, 59.015619, -0.139622)) /
         3.0;
}

// Conductance for each load on a 0.1 N grid. Both curves rise monotonically
// (their derivatives have no real root), so bisection finds each point.
std::vector<double> make_inverse(bool shear_cell) {
  const size_t n = static_cast<size_t>(kMaxLoadN / kTableStepN) + 1;
  std::vector<double> table(n);
  for (size_t i = 0; i < n; ++i) {
    const double target = std::max(i * kTableStepN, kMinLoadN) / kGravity;
    double lo = 1e-3, hi = 4.0;
    for (int it = 0; it < 60; ++it) {
      const double mid = 0.5 * (lo + hi);
      (curve(mid, shear_cell) < target ? lo : hi) = mid;
    }
    table[i] = 0.5 * (lo + hi);
  }
  return table;
}

double weight(const Cell& c, const LoadPatch& p) {
  const double dy = (c.y - p.y) / 0.13, dx = (c.x - p.x) / 0.35;
  const double d = 1.0 + dy * dy + dx * dx;
  return 1.0 / (d * d);
}

}  // namespace

CellPosition cell_position(int channel, int32_t foot) {
  if (channel < 0 || channel >= kCells) return {};
  const Cell& c = layout(foot).cells[channel];
  return {c.x, c.y};
}

bool is_shear_cell(int channel) { return channel >= 0 && channel < kCells && layout(2).cells[channel].sensor >= 0; }

uint32_t resistance_for(double load_n, bool shear_cell) {
  if (!(load_n >= kMinLoadN)) return 0;
  // Never destroyed: a runner thread may still sample while the process exits.
  static const auto* pressure_table = new std::vector<double>(make_inverse(false));
  static const auto* shear_table = new std::vector<double>(make_inverse(true));
  const std::vector<double>& table = shear_cell ? *shear_table : *pressure_table;
  const double pos = std::min(load_n, kMaxLoadN) / kTableStepN;
  const size_t i = std::min(static_cast<size_t>(pos), table.size() - 2);
  const double x = table[i] + (table[i + 1] - table[i]) * (pos - static_cast<double>(i));
  return static_cast<uint32_t>(std::clamp(std::lround(1000.0 / x), 1L, 999999L));
}

void read_sensors(const FootState& state, int32_t foot, Random& noise, Readings& out) {
  const Layout& l = layout(foot);
  const uint8_t side = foot == 3 ? 3 : 2;
  double load[kCells] = {};
  if (state.load_n > 0.0) {
    for (const LoadPatch& p : state.patches) {
      if (p.share <= 0.0) continue;
      double w[kCells], sum = 0.0;
      for (int i = 0; i < kCells; ++i) sum += (w[i] = weight(l.cells[i], p));
      const double scale = state.load_n * p.share / sum;
      for (int i = 0; i < kCells; ++i) load[i] += w[i] * scale;
    }
  }

  // Each shear sensor carries the load its four cells notice; the shear
  // tilts that load towards the quadrants it pushes into.
  double local[kShearSensors] = {};
  for (int i = 0; i < kCells; ++i)
    if (l.cells[i].sensor >= 0 && load[i] >= kMinLoadN) local[l.cells[i].sensor] += load[i];
  for (int k = 0; k < kShearSensors; ++k) {
    out.shear_lat_mn[k] = static_cast<int32_t>(std::lround(local[k] * state.shear_lat * 1000.0));
    out.shear_fwd_mn[k] = static_cast<int32_t>(std::lround(local[k] * state.shear_fwd * 1000.0));
  }

  for (int i = 0; i < kCells; ++i) {
    const Cell& c = l.cells[i];
    double n = load[i];
    if (c.sensor >= 0)
      n *= 1.0 + kQuadrant[c.quadrant][0] * state.shear_lat + kQuadrant[c.quadrant][1] * state.shear_fwd;
    if (n > 0.0) n *= 1.0 + 0.015 * noise.noise();
    const uint32_t r = resistance_for(n, c.sensor >= 0);
    out.resistance[i] = static_cast<int32_t>(r);
    out.load_mn[i] = r == 0 ? 0 : static_cast<int32_t>(std::lround(pressure::calibrate_channel(r, i, side) * 1000.0));
  }

  for (int a = 0; a < 3; ++a) {
    out.acc[a] = static_cast<int32_t>(std::lround(state.acc_g[a] * (1000.0 / kAccScale) + 3.0 * noise.noise()));
    out.gyro[a] = static_cast<int32_t>(std::lround(state.gyro_dps[a] / kGyroScale + 2.0 * noise.noise()));
  }
}

}  // namespace tvis::sim
