// The text forms of a gait analysis: one JSON line per stride or per event, a
// CSV table of strides, and the summary object of one input. Every number's
// key or column names its unit.
#pragma once

#include <string>

#include "gait/recording.h"
#include "insole/gait/gait_input.h"

namespace insole {

std::string stride_json(const GaitInput& input, const tvis::gait::Stride& stride);
std::string event_json(const GaitInput& input, int foot, const tvis::gait::GaitEvent& event);
std::string stride_csv_header(const GaitInput& input);
std::string stride_csv_row(const GaitInput& input, const tvis::gait::Stride& stride);
std::string summary_json(const GaitInput& input, const tvis::gait::Summary& summary);

}  // namespace insole
