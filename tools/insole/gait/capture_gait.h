// A capture as gait input: each insole's samples by its foot, on the device
// clock aligned onto the host clock (so both feet share one time base; a raw
// capture, without receive times, uses the device clock). The load is the
// SDK-calibrated total in newtons when every sample carries resistances, else
// the sum of the insole's own cell values in device units; the regions are
// the layout's (heel, midfoot, forefoot, toes).
#pragma once

#include <string>

#include "insole/gait/gait_input.h"
#include "layout/cell_layout.h"

namespace insole {

struct CaptureGaitTotals {
  uint64_t samples = 0, gaps = 0, repeated = 0;  // repeated: a time that did not advance, left out
};

// Throws std::runtime_error (one line) for input that is no readable capture,
// or one with no sample of a left or right insole.
GaitInput gait_input_of_capture(const std::string& path, const tvis::layout::CellLayout& layout,
                                CaptureGaitTotals& totals);

}  // namespace insole
