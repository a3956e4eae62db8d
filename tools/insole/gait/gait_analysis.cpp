#include "insole/gait/gait_analysis.h"

namespace insole {

tvis::Result<tvis::gait::Analysis, std::string> analyze_gait(const GaitInput& input) {
  auto analysis = tvis::gait::analyze_recording(input.view(0), input.view(1));
  if (!analysis) return input.name + ": " + analysis.error().message;
  // A foot that never unloads while the other walks is a sensor or a column
  // that is wrong, not a gait: no stride of it can be trusted.
  for (int f = 0; f < 2; ++f) {
    bool unloads = false;
    for (const auto& e : analysis->events[f].events) unloads = unloads || e.type == tvis::gait::EventType::kFootOff;
    if (!unloads && analysis->strides[1 - f].size() >= 2)
      return input.name + ": the " + (f == 0 ? "left" : "right") +
             " foot never unloads while the other walks (a stuck sensor or wrong columns?)";
  }
  return std::move(analysis).value();
}

}  // namespace insole
