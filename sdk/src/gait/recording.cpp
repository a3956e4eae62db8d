#include "gait/recording.h"

#include <algorithm>
#include <cmath>

namespace tvis::gait {

namespace {

const char* foot_name(Foot foot) { return foot == Foot::kLeft ? "left" : "right"; }

GaitError fault(GaitStatus status, Foot foot, const std::string& what) {
  return {status, std::string(foot_name(foot)) + " foot: " + what};
}

// The samples are checked whole before any is analysed: a fault anywhere is
// the caller's to fix, not something to analyse around.
Result<void, GaitError> validate(const FootInput& in, Foot foot) {
  const size_t n = in.time_s.size();
  if (n == 0) return fault(GaitStatus::kEmpty, foot, "no samples");
  if (!in.load.empty() && in.load.size() != n)
    return fault(GaitStatus::kBadShape, foot, std::to_string(in.load.size()) + " loads for " + std::to_string(n) + " times");
  if (in.load.empty() && in.sensor_count == 0) return fault(GaitStatus::kBadShape, foot, "neither loads nor sensors");
  if (in.sensor_count != 0 && in.sensors.size() != n * in.sensor_count)
    return fault(GaitStatus::kBadShape, foot, std::to_string(in.sensors.size()) + " sensor values for " +
                                                  std::to_string(n) + " samples of " + std::to_string(in.sensor_count));
  if (!in.places.empty() && in.places.size() != in.sensor_count)
    return fault(GaitStatus::kBadShape, foot, "sensor places do not match the sensors");
  if (in.centre_x.size() != in.centre_y.size() || (!in.centre_x.empty() && in.centre_x.size() != n))
    return fault(GaitStatus::kBadShape, foot, "centres of pressure do not match the samples");
  for (const SensorPlace& place : in.places)
    if (!in.regions.empty() && place.region >= in.regions.size())
      return fault(GaitStatus::kBadShape, foot, "a sensor names a region that does not exist");
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(in.time_s[i]))
      return fault(GaitStatus::kNotFinite, foot, "time of sample " + std::to_string(i) + " is not finite");
    if (i > 0 && !(in.time_s[i] > in.time_s[i - 1]))
      return fault(GaitStatus::kTimeNotIncreasing, foot,
                   "time " + std::string(in.time_s[i] == in.time_s[i - 1] ? "repeats" : "goes backwards") +
                       " at sample " + std::to_string(i));
    if (!in.load.empty() && !std::isfinite(in.load[i]))
      return fault(GaitStatus::kNotFinite, foot, "load of sample " + std::to_string(i) + " is not finite");
  }
  for (size_t i = 0; i < in.centre_x.size(); ++i)
    if (std::isinf(in.centre_x[i]) || std::isinf(in.centre_y[i]))
      return fault(GaitStatus::kNotFinite, foot, "centre of pressure of sample " + std::to_string(i) + " is infinite");
  for (size_t k = 0; k < in.sensors.size(); ++k)
    if (!std::isfinite(in.sensors[k]))
      return fault(GaitStatus::kNotFinite, foot, "sensor value of sample " + std::to_string(k / in.sensor_count) + " is not finite");
  return {};
}

std::vector<double> loads_of(const FootInput& in) {
  if (!in.load.empty()) return {in.load.begin(), in.load.end()};
  std::vector<double> loads(in.time_s.size(), 0.0);
  for (size_t i = 0; i < loads.size(); ++i)
    for (size_t k = 0; k < in.sensor_count; ++k) loads[i] += in.sensors[i * in.sensor_count + k];
  return loads;
}

// Every sample through one tracker, with the lost frames marked before the
// sample that follows them: the same calls the live path makes.
void track(const FootInput& in, const std::vector<double>& loads, Foot foot, DetectorSettings settings,
           FootEvents& events, std::vector<Stride>& strides) {
  FootTracker tracker(settings);
  size_t next_gap = 0;
  for (size_t i = 0; i < loads.size(); ++i) {
    while (next_gap < in.gap_before.size() && in.gap_before[next_gap] < i) ++next_gap;
    if (next_gap < in.gap_before.size() && in.gap_before[next_gap] == i) tracker.mark_gap();
    const FootTracker::Step step = tracker.push(in.time_s[i], loads[i]);
    if (step.event) events.events.push_back(*step.event);
    if (step.stride) {
      Stride stride;
      stride.foot = foot;
      stride.bout = tracker.bout();
      stride.times = *step.stride;
      strides.push_back(stride);
    }
  }
}

// The samples of [from, to] (device time), as indices [first, last).
std::pair<size_t, size_t> samples_between(std::span<const double> time_s, double from, double to) {
  const auto first = std::lower_bound(time_s.begin(), time_s.end(), from);
  const auto last = std::upper_bound(first, time_s.end(), to);
  return {static_cast<size_t>(first - time_s.begin()), static_cast<size_t>(last - time_s.begin())};
}

// Trapezoids over the samples [first, last) of one series.
template <class ValueAt>
double integral_of(std::span<const double> time_s, size_t first, size_t last, ValueAt value) {
  double sum = 0;
  for (size_t i = first + 1; i < last; ++i) sum += 0.5 * (value(i) + value(i - 1)) * (time_s[i] - time_s[i - 1]);
  return sum;
}

void stance_loads(const FootInput& in, const std::vector<double>& loads, Stride& stride) {
  const auto [first, last] = samples_between(in.time_s, stride.times.contact_s, stride.times.foot_off_s);
  if (first >= last) return;
  for (size_t i = first; i < last; ++i) stride.peak_load = std::max(stride.peak_load, loads[i]);
  stride.load_integral = integral_of(in.time_s, first, last, [&](size_t i) { return loads[i]; });
  const size_t cells = in.sensor_count;
  if (!in.regions.empty() && cells != 0) {
    // A region's value is the sum of its sensors on each sample.
    stride.regions.assign(in.regions.size(), {});
    std::vector<double> per_region(in.regions.size());
    std::vector<double> previous(in.regions.size());
    for (size_t i = first; i < last; ++i) {
      std::fill(per_region.begin(), per_region.end(), 0.0);
      for (size_t k = 0; k < cells; ++k) per_region[in.places[k].region] += in.sensors[i * cells + k];
      for (size_t r = 0; r < per_region.size(); ++r) {
        RegionMetrics& m = stride.regions[r];
        m.peak = i == first ? per_region[r] : std::max(m.peak, per_region[r]);
        m.mean += per_region[r] / static_cast<double>(last - first);
        if (i > first) m.integral += 0.5 * (per_region[r] + previous[r]) * (in.time_s[i] - in.time_s[i - 1]);
      }
      previous = per_region;
    }
  }
  // The centre of pressure of each stance sample: its path length, its
  // progress heel to toe from the first to the last loaded sample, and its
  // medial-lateral extent. Negative values (offsets) weigh nothing.
  const bool given = !in.centre_x.empty();
  if (!given && (in.places.empty() || cells == 0)) return;
  auto centre_at = [&](size_t i, double& x, double& y) {
    if (given) {
      x = in.centre_x[i];
      y = in.centre_y[i];
      return !std::isnan(x) && !std::isnan(y);
    }
    double sum = 0, sx = 0, sy = 0;
    for (size_t k = 0; k < cells; ++k) {
      if (!in.places[k].placed) continue;
      const double f = std::max(0.0, in.sensors[i * cells + k]);
      sum += f;
      sx += f * in.places[k].x;
      sy += f * in.places[k].y;
    }
    if (sum <= 0) return false;
    x = sx / sum;
    y = sy / sum;
    return true;
  };
  bool started = false;
  double px = 0, py = 0, y0 = 0, min_x = 0, max_x = 0;
  for (size_t i = first; i < last; ++i) {
    double x, y;
    if (!centre_at(i, x, y)) continue;
    if (!started) {
      started = true;
      y0 = y;
      min_x = max_x = x;
    } else {
      stride.cop_length += std::hypot(x - px, y - py);
    }
    min_x = std::min(min_x, x);
    max_x = std::max(max_x, x);
    px = x;
    py = y;
  }
  if (!started) return;
  stride.has_cop = true;
  stride.cop_ap = py - y0;
  stride.cop_ml_range = max_x - min_x;
}

// Stance intervals of a foot from its events: each contact with the foot off
// that follows it directly.
struct Interval { double from, to; };
std::vector<Interval> stances_of(const std::vector<GaitEvent>& events) {
  std::vector<Interval> out;
  for (size_t i = 0; i + 1 < events.size(); ++i)
    if (events[i].type == EventType::kContact && events[i + 1].type == EventType::kFootOff)
      out.push_back({events[i].time_s, events[i + 1].time_s});
  return out;
}

// Step time and double support need the other foot: its last contact before
// this stride's, and its stances overlapping this one's. Both are unknown
// (-1) when the other foot's events do not cover the stride.
void pair_metrics(Stride& stride, const std::vector<GaitEvent>& other, const std::vector<Interval>& other_stances) {
  const StrideTimes& t = stride.times;
  double last_contact = -1;
  bool after = false;
  for (const GaitEvent& e : other) {
    if (e.time_s <= t.contact_s && e.type == EventType::kContact) last_contact = e.time_s;
    if (e.time_s >= t.next_contact_s) after = true;
  }
  if (last_contact >= 0 && t.contact_s - last_contact < t.stride_s) stride.step_s = t.contact_s - last_contact;
  if (other.empty() || other.front().time_s > t.contact_s || !after) return;
  double both = 0;
  for (const Interval& s : other_stances) {
    const double from = std::max(s.from, t.contact_s), to = std::min(s.to, t.foot_off_s);
    if (to > from) both += to - from;
  }
  stride.double_support_s = both;
  stride.double_support_pct = 100.0 * both / t.stride_s;
}

// Outliers within one bout, against the bout's own median and scaled MAD; the
// floors keep a very steady bout (MAD near zero) from flagging jitter.
void flag_bout(std::vector<Stride>& strides, size_t first, size_t last) {
  strides[last - 1].times.flags |= kLastOfBout;
  std::vector<double> stride_s, stance_pct;
  for (size_t i = first; i < last; ++i) {
    stride_s.push_back(strides[i].times.stride_s);
    stance_pct.push_back(strides[i].stance_pct);
  }
  const double stride_median = median_of(stride_s), stance_median = median_of(stance_pct);
  const double stride_mad = std::max(scaled_mad_of(stride_s, stride_median), 0.02 * stride_median);
  const double stance_mad = std::max(scaled_mad_of(stance_pct, stance_median), 1.0);
  for (size_t i = first; i < last; ++i) {
    Stride& s = strides[i];
    if (std::fabs(s.times.stride_s - stride_median) > 3 * stride_mad ||
        std::fabs(s.stance_pct - stance_median) > 3 * stance_mad)
      s.times.flags |= kOutlier;
  }
}

void flag(std::vector<Stride>& strides) {
  size_t first = 0;
  for (size_t i = 1; i <= strides.size(); ++i)
    if (i == strides.size() || strides[i].bout != strides[first].bout) {
      flag_bout(strides, first, i);
      first = i;
    }
}

template <class Field>
Spread spread_over(const std::vector<const Stride*>& strides, Field field, bool known_only = false) {
  std::vector<double> values;
  for (const Stride* s : strides) {
    const double v = field(*s);
    if (known_only && v < 0) continue;
    values.push_back(v);
  }
  return spread_of(values);
}

FootSummary summarize(const std::vector<Stride>& strides, size_t first, size_t last) {
  FootSummary out;
  std::vector<const Stride*> kept;
  for (size_t i = first; i < last; ++i) {
    ++out.strides;
    if (excluded(strides[i])) ++out.excluded;
    else kept.push_back(&strides[i]);
  }
  MeasureSpreads& m = out.included;
  m.stride_s = spread_over(kept, [](const Stride& s) { return s.times.stride_s; });
  m.stance_s = spread_over(kept, [](const Stride& s) { return s.times.stance_s; });
  m.swing_s = spread_over(kept, [](const Stride& s) { return s.times.swing_s; });
  m.stance_pct = spread_over(kept, [](const Stride& s) { return s.stance_pct; });
  m.swing_pct = spread_over(kept, [](const Stride& s) { return s.swing_pct; });
  m.step_s = spread_over(kept, [](const Stride& s) { return s.step_s; }, true);
  m.double_support_pct = spread_over(kept, [](const Stride& s) { return s.double_support_pct; }, true);
  m.peak_load = spread_over(kept, [](const Stride& s) { return s.peak_load; });
  return out;
}

double symmetry_pct(const Spread& left, const Spread& right) {
  if (left.count == 0 || right.count == 0 || left.mean + right.mean == 0) return 0;
  return 100.0 * std::fabs(left.mean - right.mean) / (0.5 * (left.mean + right.mean));
}

Summary summary_of(const FootInput* inputs[2], const Analysis& a) {
  Summary s;
  double start = inputs[0]->time_s.front(), end = inputs[0]->time_s.back();
  start = std::min(start, inputs[1]->time_s.front());
  end = std::max(end, inputs[1]->time_s.back());
  s.duration_s = end - start;
  std::vector<double> steps;
  for (size_t i = 1; i < inputs[0]->time_s.size(); ++i) steps.push_back(inputs[0]->time_s[i] - inputs[0]->time_s[i - 1]);
  const double step = median_of(std::move(steps));
  s.sample_rate_hz = step > 0 ? 1.0 / step : 0;
  FootSummary* feet[2] = {&s.left, &s.right};
  std::vector<double> stride_times, double_support;
  for (int f = 0; f < 2; ++f) {
    const std::vector<Stride>& strides = a.strides[f];
    *feet[f] = summarize(strides, 0, strides.size());
    size_t first = 0;
    for (size_t i = 1; i <= strides.size(); ++i)
      if (i == strides.size() || strides[i].bout != strides[first].bout) {
        BoutSummary bout;
        bout.bout = strides[first].bout;
        bout.start_s = strides[first].times.contact_s;
        bout.end_s = strides[i - 1].times.next_contact_s;
        bout.foot = summarize(strides, first, i);
        s.bouts[f].push_back(bout);
        first = i;
      }
    for (const Stride& stride : strides) {
      if (excluded(stride)) continue;
      stride_times.push_back(stride.times.stride_s);
      if (stride.double_support_pct >= 0) double_support.push_back(stride.double_support_pct);
    }
  }
  const Spread pooled = spread_of(stride_times);
  s.cadence_steps_per_min = pooled.mean > 0 ? 120.0 / pooled.mean : 0;
  s.double_support_pct = spread_of(double_support);
  const MeasureSpreads &l = s.left.included, &r = s.right.included;
  s.stride_time_si_pct = symmetry_pct(l.stride_s, r.stride_s);
  s.stance_time_si_pct = symmetry_pct(l.stance_s, r.stance_s);
  s.swing_time_si_pct = symmetry_pct(l.swing_s, r.swing_s);
  s.step_time_si_pct = symmetry_pct(l.step_s, r.step_s);
  s.peak_load_si_pct = symmetry_pct(l.peak_load, r.peak_load);
  return s;
}

}  // namespace

bool excluded(const Stride& stride) { return stride.times.flags != 0; }

Result<Analysis, GaitError> analyze_recording(const FootInput& left, const FootInput& right, DetectorSettings settings) {
  const FootInput* inputs[2] = {&left, &right};
  for (int f = 0; f < 2; ++f)
    if (auto checked = validate(*inputs[f], static_cast<Foot>(f)); !checked) return std::move(checked).error();
  Analysis a;
  std::vector<double> loads[2];
  for (int f = 0; f < 2; ++f) {
    loads[f] = loads_of(*inputs[f]);
    track(*inputs[f], loads[f], static_cast<Foot>(f), settings, a.events[f], a.strides[f]);
  }
  for (int f = 0; f < 2; ++f) {
    const std::vector<GaitEvent>& other = a.events[1 - f].events;
    const std::vector<Interval> other_stances = stances_of(other);
    for (Stride& stride : a.strides[f]) {
      const StrideTimes& t = stride.times;
      stride.stance_pct = 100.0 * t.stance_s / t.stride_s;
      stride.swing_pct = 100.0 * t.swing_s / t.stride_s;
      stance_loads(*inputs[f], loads[f], stride);
      pair_metrics(stride, other, other_stances);
    }
    flag(a.strides[f]);
  }
  a.summary = summary_of(inputs, a);
  return a;
}

}  // namespace tvis::gait
