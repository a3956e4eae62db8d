#include "insole/gait/gait_report.h"

#include <cstdio>

namespace insole {

namespace {

using tvis::gait::Spread;
using tvis::gait::Stride;

std::string num(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

// Four decimals: tenths of a millisecond and of a hundredth of a percent.
std::string fixed(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.4f", v);
  return text;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string known(double v) { return v < 0 ? "null" : fixed(v); }

const char* foot_name(int foot) { return foot == 0 ? "left" : "right"; }

std::string flag_list(uint32_t flags) {
  std::string out = "[";
  auto add = [&](uint32_t bit, const char* name) {
    if (!(flags & bit)) return;
    if (out.size() > 1) out += ",";
    out += std::string("\"") + name + "\"";
  };
  add(tvis::gait::kFirstOfBout, "first_of_bout");
  add(tvis::gait::kLastOfBout, "last_of_bout");
  add(tvis::gait::kAcrossGap, "across_gap");
  add(tvis::gait::kOutlier, "outlier");
  return out + "]";
}

std::string spread(const Spread& s, bool cv = true) {
  std::string out = "{\"mean\": " + fixed(s.mean) + ", \"sd\": " + fixed(s.sd);
  if (cv) out += ", \"cv_pct\": " + fixed(s.cv_pct);
  return out + "}";
}

std::string foot_summary(const GaitInput& input, const tvis::gait::FootSummary& f) {
  const tvis::gait::MeasureSpreads& m = f.included;
  return "{\"strides\": " + std::to_string(f.strides) + ", \"excluded_strides\": " + std::to_string(f.excluded) +
         ", \"stride_time_s\": " + spread(m.stride_s) + ", \"stance_time_s\": " + spread(m.stance_s) +
         ", \"swing_time_s\": " + spread(m.swing_s) + ", \"stance_pct\": " + spread(m.stance_pct, false) +
         ", \"swing_pct\": " + spread(m.swing_pct, false) + ", \"step_time_s\": " + spread(m.step_s) +
         ", \"double_support_pct\": " + spread(m.double_support_pct, false) + ", \"peak_load_" + input.load_unit +
         "\": " + spread(m.peak_load) + "}";
}

// A region's column name: its own, or for per-sensor regions (a table's L1
// and R1) the index both feet share.
std::string region_column(const GaitInput& input, size_t r) {
  const std::string& left = input.feet[0].regions[r];
  if (r >= input.feet[1].regions.size()) return left;
  const std::string& right = input.feet[1].regions[r];
  if (left == right || left.size() < 2 || left.compare(1, std::string::npos, right, 1) != 0) return left;
  return left.substr(1);
}

// Newtons on a region to its mean pressure in kPa: 1 N/mm^2 is 1000 kPa.
double kpa_per_newton(const GaitInput& input, size_t r) { return 1000.0 / input.region_area_mm2[r]; }

}  // namespace

std::string stride_json(const GaitInput& input, const Stride& s) {
  const int foot = static_cast<int>(s.foot);
  const std::string& u = input.load_unit;
  std::string out = "{\"input\": " + quoted(input.name) + ", \"foot\": \"" + foot_name(foot) +
                    "\", \"bout\": " + std::to_string(s.bout) + ", \"contact_s\": " + fixed(s.times.contact_s) +
                    ", \"foot_off_s\": " + fixed(s.times.foot_off_s) + ", \"next_contact_s\": " +
                    fixed(s.times.next_contact_s) + ", \"stride_time_s\": " + fixed(s.times.stride_s) +
                    ", \"stance_time_s\": " + fixed(s.times.stance_s) + ", \"swing_time_s\": " +
                    fixed(s.times.swing_s) + ", \"stance_pct\": " + fixed(s.stance_pct) + ", \"swing_pct\": " +
                    fixed(s.swing_pct) + ", \"step_time_s\": " + known(s.step_s) + ", \"double_support_s\": " +
                    known(s.double_support_s) + ", \"double_support_pct\": " + known(s.double_support_pct) +
                    ", \"peak_load_" + u + "\": " + num(s.peak_load) + ", \"load_time_integral_" + u +
                    "_s\": " + num(s.load_integral);
  if (s.has_cop)
    out += ", \"cop_unit\": \"" + input.place_unit + "\", \"cop_path_length\": " + num(s.cop_length) +
           ", \"cop_ap_progression\": " + num(s.cop_ap) + ", \"cop_ml_range\": " + num(s.cop_ml_range);
  const auto& regions = input.feet[foot].regions;
  if (!s.regions.empty()) {
    out += ", \"regions\": {";
    for (size_t r = 0; r < s.regions.size(); ++r) {
      if (r) out += ", ";
      const tvis::gait::RegionMetrics& m = s.regions[r];
      out += quoted(regions[r]) + ": {\"peak_" + u + "\": " + num(m.peak) + ", \"mean_" + u + "\": " + num(m.mean) +
             ", \"integral_" + u + "_s\": " + num(m.integral);
      if (!input.region_area_mm2.empty()) {
        const double k = kpa_per_newton(input, r);
        out += ", \"peak_kpa\": " + num(m.peak * k) + ", \"mean_kpa\": " + num(m.mean * k) +
               ", \"integral_kpa_s\": " + num(m.integral * k);
      }
      out += "}";
    }
    out += "}";
  }
  return out + ", \"flags\": " + flag_list(s.times.flags) + ", \"excluded\": " +
         (tvis::gait::excluded(s) ? "true" : "false") + "}";
}

std::string event_json(const GaitInput& input, int foot, const tvis::gait::GaitEvent& e) {
  return "{\"input\": " + quoted(input.name) + ", \"foot\": \"" + foot_name(foot) + "\", \"event\": \"" +
         (e.type == tvis::gait::EventType::kContact ? "contact" : "foot_off") + "\", \"time_s\": " + fixed(e.time_s) +
         ", \"sample\": " + std::to_string(e.sample_index) + ", \"decided_sample\": " +
         std::to_string(e.decided_index) + ", \"load_" + input.load_unit + "\": " + num(e.load) + "}";
}

std::string stride_csv_header(const GaitInput& input) {
  const std::string& u = input.load_unit;
  std::string out =
      "input,foot,bout,contact_s,foot_off_s,next_contact_s,stride_time_s,stance_time_s,swing_time_s,stance_pct,"
      "swing_pct,step_time_s,double_support_s,double_support_pct,peak_load_" + u + ",load_time_integral_" + u +
      "_s,cop_path_length_" + input.place_unit + ",cop_ap_progression_" + input.place_unit + ",cop_ml_range_" +
      input.place_unit;
  const bool pressure = !input.region_area_mm2.empty();
  for (size_t r = 0; r < input.feet[0].regions.size(); ++r) {
    const std::string name = "region_" + region_column(input, r);
    out += "," + name + "_peak_" + u + "," + name + "_mean_" + u + "," + name + "_integral_" + u + "_s";
    if (pressure) out += "," + name + "_peak_kpa," + name + "_mean_kpa," + name + "_integral_kpa_s";
  }
  return out + ",flags,excluded";
}

std::string stride_csv_row(const GaitInput& input, const Stride& s) {
  auto blank_if_unknown = [](double v) { return v < 0 ? std::string() : fixed(v); };
  std::string name = input.name;
  if (name.find_first_of(",\"\n") != std::string::npos) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    name = q + "\"";
  }
  std::string out = name + "," + foot_name(static_cast<int>(s.foot)) + "," + std::to_string(s.bout) + "," +
                    fixed(s.times.contact_s) + "," + fixed(s.times.foot_off_s) + "," + fixed(s.times.next_contact_s) +
                    "," + fixed(s.times.stride_s) + "," + fixed(s.times.stance_s) + "," + fixed(s.times.swing_s) + "," +
                    fixed(s.stance_pct) + "," + fixed(s.swing_pct) + "," + blank_if_unknown(s.step_s) + "," +
                    blank_if_unknown(s.double_support_s) + "," + blank_if_unknown(s.double_support_pct) + "," +
                    num(s.peak_load) + "," + num(s.load_integral) + ",";
  out += s.has_cop ? num(s.cop_length) + "," + num(s.cop_ap) + "," + num(s.cop_ml_range) : std::string(",,");
  const size_t regions = input.feet[0].regions.size();
  const bool pressure = !input.region_area_mm2.empty();
  for (size_t r = 0; r < regions; ++r) {
    if (r < s.regions.size()) {
      const tvis::gait::RegionMetrics& m = s.regions[r];
      out += "," + num(m.peak) + "," + num(m.mean) + "," + num(m.integral);
      if (pressure) {
        const double k = kpa_per_newton(input, r);
        out += "," + num(m.peak * k) + "," + num(m.mean * k) + "," + num(m.integral * k);
      }
    } else {
      out += pressure ? ",,,,,," : ",,,";
    }
  }
  std::string flags = flag_list(s.times.flags);  // ["a","b"] -> a|b
  std::string plain;
  for (char c : flags)
    if (c != '[' && c != ']' && c != '"') plain += c == ',' ? '|' : c;
  return out + "," + plain + "," + (tvis::gait::excluded(s) ? "1" : "0");
}

std::string summary_json(const GaitInput& input, const tvis::gait::Summary& s) {
  std::string out = "{\"input\": " + quoted(input.name) + ", \"duration_s\": " + fixed(s.duration_s) +
                    ", \"sample_rate_hz\": " + fixed(s.sample_rate_hz) + ", \"left\": " + foot_summary(input, s.left) +
                    ", \"right\": " + foot_summary(input, s.right) + ", \"cadence_steps_per_min\": " +
                    fixed(s.cadence_steps_per_min) + ", \"double_support_pct\": " + spread(s.double_support_pct, false) +
                    ", \"symmetry\": {\"stride_time_si_pct\": " + fixed(s.stride_time_si_pct) +
                    ", \"stance_time_si_pct\": " + fixed(s.stance_time_si_pct) + ", \"swing_time_si_pct\": " +
                    fixed(s.swing_time_si_pct) + ", \"step_time_si_pct\": " + fixed(s.step_time_si_pct) +
                    ", \"peak_load_si_pct\": " + fixed(s.peak_load_si_pct) + "}, \"bouts\": [";
  bool first = true;
  for (int f = 0; f < 2; ++f)
    for (const auto& bout : s.bouts[f]) {
      if (!first) out += ", ";
      first = false;
      const auto& m = bout.foot.included;
      out += std::string("{\"foot\": \"") + foot_name(f) + "\", \"bout\": " + std::to_string(bout.bout) +
             ", \"start_s\": " + fixed(bout.start_s) + ", \"end_s\": " + fixed(bout.end_s) + ", \"strides\": " +
             std::to_string(bout.foot.strides) + ", \"excluded_strides\": " + std::to_string(bout.foot.excluded) +
             ", \"stride_time_s\": " + spread(m.stride_s) + ", \"stance_pct\": " + spread(m.stance_pct, false) +
             ", \"swing_pct\": " + spread(m.swing_pct, false) + "}";
    }
  return out + "]}";
}

}  // namespace insole
