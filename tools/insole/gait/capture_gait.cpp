#include "insole/gait/capture_gait.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "insole/export/capture_export.h"
#include "insole/export/export_rows.h"
#include "insole/gait/foot_samples.h"

namespace insole {

namespace {

using tvis::layout::kLayoutCells;
using tvis::layout::kRegions;

constexpr double kNoCentre = std::numeric_limits<double>::quiet_NaN();

// Collects each foot's samples as the export reads them.
class GaitRows final : public RowWriter {
 public:
  GaitRows(GaitInput& input, const tvis::layout::CellLayout& layout, CaptureGaitTotals& totals,
           const CaptureGaitOptions& options)
      : input_(input), layout_(layout), totals_(totals), live_(options.live),
        counter_(options.device_clock) {}

  void row(const Sample& s) override {
    const FootSample taken = counter_.take(s);
    if (taken.kind == FootSample::Kind::kRepeated) ++totals_.repeated;  // its sample is already counted
    if (taken.kind != FootSample::Kind::kTaken) return;
    const auto& cells = s.message.sensor_data->pressure_data->pressure;
    const double time_s = taken.time_s;
    Collected& c = collected_[taken.foot];
    ++totals_.samples;
    if (s.gap > 0) {
      totals_.gaps += s.gap;
      c.gaps.push_back(c.time_s.size());
    }
    c.time_s.push_back(time_s);
    c.all_newtons = c.all_newtons && s.forces.load_count > 0;
    c.newtons.push_back(s.forces.total_n);
    double device = 0, regions_n[kRegions.size()] = {}, regions_device[kRegions.size()] = {};
    // An insole may send its own cell values, resistances, or both.
    for (size_t k = 0; k < cells.size() && k < kLayoutCells; ++k) {
      device += cells[k];
      regions_device[static_cast<size_t>(layout_.cells[k].region)] += cells[k];
    }
    for (size_t k = 0; k < s.forces.load_count; ++k)
      regions_n[static_cast<size_t>(layout_.cells[k].region)] += s.forces.load_n[k];
    c.device.push_back(device);
    c.centre_x.push_back(s.forces.has_centre ? s.forces.centre_x_mm : kNoCentre);
    c.centre_y.push_back(s.forces.has_centre ? s.forces.centre_y_mm : kNoCentre);
    if (live_) tell_live(taken.foot, time_s, s.forces, device);
    for (size_t r = 0; r < kRegions.size(); ++r) {
      c.regions_n.push_back(regions_n[r]);
      c.regions_device.push_back(regions_device[r]);
    }
  }

  // The same tracker the analysis runs over the collected samples, fed as
  // they arrive, so the live events are the analysis's own.
  void tell_live(int foot, double time_s, const SampleForces& forces, double device) {
    Live& l = live_state_[foot];
    if (l.stopped) return;
    const bool newtons = forces.load_count > 0;
    if (!l.unit) l.unit = newtons ? "n" : "device_units";
    if (newtons != (l.unit[0] == 'n')) {
      l.stopped = true;
      if (live_->stopped) live_->stopped(foot);
      return;
    }
    const auto step = l.tracker.push(time_s, newtons ? forces.total_n : device);
    if (step.event && live_->told) live_->told(foot, *step.event, l.unit);
  }

  void finish() override {
    const bool newtons = collected_[0].all_newtons && collected_[1].all_newtons &&
                         !(collected_[0].time_s.empty() && collected_[1].time_s.empty());
    input_.load_unit = newtons ? "n" : "device_units";
    if (newtons) {
      input_.region_area_mm2.assign(kRegions.size(), 0.0);
      for (const auto& cell : layout_.cells) input_.region_area_mm2[static_cast<size_t>(cell.region)] += cell.w * cell.h;
      // A layout whose cells of some region have no size: no pressures at all.
      const auto& areas = input_.region_area_mm2;
      if (!std::all_of(areas.begin(), areas.end(), [](double a) { return a > 0; })) input_.region_area_mm2.clear();
    }
    for (int f = 0; f < 2; ++f) {
      Collected& c = collected_[f];
      GaitFootSamples& foot = input_.feet[f];
      foot.time_s = std::move(c.time_s);
      foot.load = std::move(newtons ? c.newtons : c.device);
      foot.sensors = std::move(newtons ? c.regions_n : c.regions_device);
      foot.sensor_count = kRegions.size();
      foot.gap_before = std::move(c.gaps);
      foot.centre_x = std::move(c.centre_x);
      foot.centre_y = std::move(c.centre_y);
      for (size_t r = 0; r < kRegions.size(); ++r) {
        tvis::gait::SensorPlace place;
        place.region = r;
        foot.places.push_back(place);
        foot.regions.push_back(tvis::layout::region_name(kRegions[r]));
      }
    }
  }

 private:
  struct Collected {
    std::vector<double> time_s, newtons, device, regions_n, regions_device, centre_x, centre_y;
    std::vector<uint64_t> gaps;
    bool all_newtons = true;
  };
  struct Live {
    tvis::gait::FootTracker tracker;
    const char* unit = nullptr;  // the key suffix of its first sample's load
    bool stopped = false;
  };
  GaitInput& input_;
  const tvis::layout::CellLayout& layout_;
  CaptureGaitTotals& totals_;
  const LiveEvents* live_;
  FootSampleCounter counter_;
  Collected collected_[2];
  Live live_state_[2];
};

}  // namespace

GaitInput gait_input_of_capture(const std::string& path, const tvis::layout::CellLayout& layout,
                                CaptureGaitTotals& totals, const CaptureGaitOptions& options) {
  GaitInput input;
  input.name = path;
  GaitRows rows(input, layout, totals, options);
  export_capture_rows(path, rows, layout);
  if (totals.samples == 0) throw std::runtime_error(path + ": no sensor samples of a left or right insole");
  return input;
}

}  // namespace insole
