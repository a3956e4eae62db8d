// Summary statistics of gait measures: mean, sample SD and coefficient of
// variation, and the median and scaled MAD the exclusion rule is built on.
#pragma once

#include <span>
#include <vector>

namespace tvis::gait {

struct Spread {
  size_t count = 0;
  double mean = 0, sd = 0, cv_pct = 0;  // sd with n - 1; 0 below two values
};

Spread spread_of(std::span<const double> values);

double median_of(std::vector<double> values);  // 0 for none

// The median absolute deviation scaled by 1.4826, so that it estimates the
// SD of normally distributed values while ignoring a few wild ones.
double scaled_mad_of(const std::vector<double>& values, double median);

}  // namespace tvis::gait
