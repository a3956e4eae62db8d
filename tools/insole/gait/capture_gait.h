// A capture as gait input: each insole's samples by its foot, on the device
// clock aligned onto the host clock (so both feet share one time base; a raw
// capture, without receive times, uses the device clock), or on request on
// each insole's own clock. The load is the
// SDK-calibrated total in newtons when every sample carries resistances, else
// the sum of the insole's own cell values in device units; the regions are
// the layout's (heel, midfoot, forefoot, toes).
#pragma once

#include <functional>
#include <string>

#include "insole/gait/gait_input.h"
#include "layout/cell_layout.h"

namespace insole {

struct CaptureGaitTotals {
  uint64_t samples = 0, gaps = 0, repeated = 0;  // repeated: a time that did not advance, left out
};

// Told each event as soon as the samples read so far decide it, for a live
// feed: the foot (0 left, 1 right), the event, and its load's unit key ("n" or
// "device_units"). A foot's live events are in the unit of its first sample;
// if its samples stop carrying that unit, its live events stop (stopped).
struct LiveEvents {
  std::function<void(int foot, const tvis::gait::GaitEvent& event, const char* load_unit)> told;
  std::function<void(int foot)> stopped;
};

struct CaptureGaitOptions {
  // false: the device clock aligned onto the host clock, both feet on one
  // base. true: each insole's own clock (device time / 1000), the times the
  // SDK's live gait events carry; step time and double support then take the
  // two insoles' clocks to agree.
  bool device_clock = false;
  const LiveEvents* live = nullptr;
};

// Throws std::runtime_error (one line) for input that is no readable capture,
// or one with no sample of a left or right insole.
GaitInput gait_input_of_capture(const std::string& path, const tvis::layout::CellLayout& layout,
                                CaptureGaitTotals& totals, const CaptureGaitOptions& options = {});

}  // namespace insole
