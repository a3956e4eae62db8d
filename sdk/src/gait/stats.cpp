#include "gait/stats.h"

#include <algorithm>
#include <cmath>

namespace tvis::gait {

Spread spread_of(std::span<const double> values) {
  Spread s;
  s.count = values.size();
  if (values.empty()) return s;
  double sum = 0;
  for (double v : values) sum += v;
  s.mean = sum / static_cast<double>(values.size());
  if (values.size() < 2) return s;
  double squares = 0;
  for (double v : values) squares += (v - s.mean) * (v - s.mean);
  s.sd = std::sqrt(squares / static_cast<double>(values.size() - 1));
  s.cv_pct = s.mean != 0 ? 100.0 * s.sd / std::fabs(s.mean) : 0;
  return s;
}

double median_of(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t half = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half), values.end());
  const double upper = values[half];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half));
  return 0.5 * (lower + upper);
}

double scaled_mad_of(const std::vector<double>& values, double median) {
  std::vector<double> deviations;
  deviations.reserve(values.size());
  for (double v : values) deviations.push_back(std::fabs(v - median));
  return 1.4826 * median_of(std::move(deviations));
}

}  // namespace tvis::gait
