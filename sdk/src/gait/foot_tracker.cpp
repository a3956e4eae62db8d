#include "gait/foot_tracker.h"

namespace tvis::gait {

void FootTracker::end_bout() {
  contact_s_.reset();
  foot_off_s_.reset();
  gap_ = false;
  first_ = true;
  if (in_bout_) ++bout_;
  in_bout_ = false;
}

FootTracker::Step FootTracker::push(double time_s, double load) {
  Step step;
  if (gap_pending_) {
    gap_pending_ = false;
    if (!gap_) first_gap_from_s_ = last_time_s_;
    gap_ = true;
    last_gap_to_s_ = time_s;
  }
  last_time_s_ = time_s;
  step.event = detector_.push(time_s, load);
  const bool active = detector_.active();
  if (was_active_ && !active) end_bout();
  was_active_ = active;
  // A pause: the open stride can no longer close as a stride.
  if (contact_s_ && time_s - *contact_s_ > tracker_.max_stride_s) end_bout();
  if (!step.event) return step;
  const GaitEvent& event = *step.event;
  if (event.type == EventType::kFootOff) {
    if (contact_s_) foot_off_s_ = event.time_s;
    return step;
  }
  if (contact_s_ && foot_off_s_ && event.time_s - *contact_s_ <= tracker_.max_stride_s) {
    StrideTimes stride;
    stride.contact_s = *contact_s_;
    stride.foot_off_s = *foot_off_s_;
    stride.next_contact_s = event.time_s;
    stride.stride_s = stride.next_contact_s - stride.contact_s;
    stride.stance_s = stride.foot_off_s - stride.contact_s;
    stride.swing_s = stride.next_contact_s - stride.foot_off_s;
    if (first_) stride.flags |= kFirstOfBout;
    if (gap_ && first_gap_from_s_ < event.time_s) stride.flags |= kAcrossGap;
    first_ = false;
    in_bout_ = true;
    step.stride = stride;
  }
  contact_s_ = event.time_s;
  foot_off_s_.reset();
  // Frames lost after this contact's time but before it was decided.
  gap_ = gap_ && last_gap_to_s_ > event.time_s;
  return step;
}

}  // namespace tvis::gait
