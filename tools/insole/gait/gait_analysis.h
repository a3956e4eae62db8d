// A gait input analysed as `insole gait` reports it, whatever it was read
// from: the SDK's analysis of both feet, refused (with one line naming the
// input) when it cannot be trusted.
#pragma once

#include <string>

#include "gait/recording.h"
#include "insole/gait/gait_input.h"
#include "util/result.h"

namespace insole {

tvis::Result<tvis::gait::Analysis, std::string> analyze_gait(const GaitInput& input);

}  // namespace insole
