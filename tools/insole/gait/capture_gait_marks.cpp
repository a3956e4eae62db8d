#include "insole/gait/capture_gait_marks.h"

#include <stdexcept>

#include "insole/gait/capture_gait.h"
#include "insole/gait/gait_analysis.h"

namespace insole {

CaptureGaitMarks::CaptureGaitMarks(const tvis::gait::Analysis& analysis) {
  for (int f = 0; f < 2; ++f)
    for (const auto& e : analysis.events[f].events)
      marks_[f].push_back(
          {e.sample_index,
           {e.type == tvis::gait::EventType::kContact ? GaitEventKind::kContact : GaitEventKind::kFootOff, e.time_s}});
}

const GaitMark* CaptureGaitMarks::at(const Sample& sample) {
  const FootSample taken = counter_.take(sample);
  if (taken.kind != FootSample::Kind::kTaken) return nullptr;
  const std::vector<Mark>& marks = marks_[taken.foot];
  size_t& next = next_[taken.foot];
  // A foot's events alternate and each phase lasts at least the minimum
  // stance or swing, so no two share a sample and every event finds its row
  // of the same capture. One that did not (a capture that changed between the
  // readings) is passed over, and marked() falls short of events().
  while (next < marks.size() && marks[next].sample < taken.index) ++next;
  if (next == marks.size() || marks[next].sample != taken.index) return nullptr;
  ++marked_;
  return &marks[next++].mark;
}

CaptureGaitMarks capture_gait_marks(const std::string& path, const tvis::layout::CellLayout& layout,
                                    std::string& why_none) {
  why_none.clear();
  try {
    CaptureGaitTotals totals;
    const GaitInput input = gait_input_of_capture(path, layout, totals);
    auto analysis = analyze_gait(input);
    if (analysis) return CaptureGaitMarks(*analysis);
    why_none = analysis.error();
  } catch (const std::runtime_error& e) {
    why_none = e.what();
  }
  return {};
}

}  // namespace insole
