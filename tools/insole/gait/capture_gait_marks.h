// A capture's gait events on the export's rows (`insole export --gait-events`):
// found by the very reading and analysis `insole gait --events` makes, then
// put on the row of the sample each event names, counted as the gait's input
// counts them (foot_samples.h), when the export reads the capture again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gait/recording.h"
#include "insole/export/capture_export.h"
#include "insole/gait/foot_samples.h"
#include "layout/cell_layout.h"

namespace insole {

class CaptureGaitMarks final : public GaitMarks {
 public:
  CaptureGaitMarks() = default;  // no events: every row is left unmarked
  explicit CaptureGaitMarks(const tvis::gait::Analysis& analysis);

  const GaitMark* at(const Sample& sample) override;

  uint64_t events() const { return marks_[0].size() + marks_[1].size(); }
  uint64_t marked() const { return marked_; }

 private:
  struct Mark {
    uint64_t sample;  // the event's sample index among its foot's samples
    GaitMark mark;
  };
  std::vector<Mark> marks_[2];  // per foot, in sample order
  size_t next_[2] = {};
  uint64_t marked_ = 0;
  FootSampleCounter counter_;
};

// The capture's events as `insole gait --events` prints them, ready to mark
// a second reading of it. When its gait cannot be analysed (no left or right
// samples, a foot that never unloads, ...), no marks, and why_none says why
// in one line; a capture that cannot be read at all says so the same way.
CaptureGaitMarks capture_gait_marks(const std::string& path, const tvis::layout::CellLayout& layout,
                                    std::string& why_none);

}  // namespace insole
