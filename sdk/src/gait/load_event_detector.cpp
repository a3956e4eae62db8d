#include "gait/load_event_detector.h"

#include <algorithm>
#include <cmath>

namespace tvis::gait {

std::optional<GaitEvent> LoadEventDetector::push(double time_s, double load) {
  if (!std::isfinite(time_s) || !std::isfinite(load)) return std::nullopt;
  if (has_previous_ && !(time_s > previous_.time_s)) return std::nullopt;
  extremes_.push(time_s, load);
  if (has_previous_) {
    const double alpha = std::min(1.0, (time_s - previous_.time_s) * change_rate_);
    mean_change_ += alpha * (std::fabs(load - previous_.load) - mean_change_);
  }
  const uint64_t index = index_++;
  const double low = extremes_.low(), high = extremes_.high();
  const double range = high - low;
  const bool active = range > 0 && range >= 0.4 * std::fabs(high) && range >= 10 * mean_change_;
  if (!active) {
    active_ = false;
    phase_ = Phase::kUnknown;
    run_ = 0;
    previous_ = {time_s, load};
    has_previous_ = true;
    return std::nullopt;
  }
  active_ = true;
  const bool decided = advance(time_s, load, low, range, index);
  previous_ = {time_s, load};
  has_previous_ = true;
  if (decided) return pending_;
  return std::nullopt;
}

bool LoadEventDetector::advance(double time_s, double load, double low, double range, uint64_t index) {
  const double contact_level = low + settings_.contact_fraction * range;
  const double off_level = low + settings_.foot_off_fraction * range;
  if (phase_ == Phase::kUnknown) {
    // No event for the phase the foot was already in when it became active.
    phase_ = load >= contact_level ? Phase::kStance : Phase::kSwing;
    phase_start_s_ = time_s;
    return false;
  }
  const bool stance = phase_ == Phase::kStance;
  const double level = stance ? off_level : contact_level;
  const bool past = stance ? load < level : load >= level;
  if (!past) {
    run_ = 0;
    return false;
  }
  if (run_ == 0) {
    double at = time_s;
    if (has_previous_ && load != previous_.load) {
      const double dt = time_s - previous_.time_s;
      const double f = (level - previous_.load) / (load - previous_.load);
      at = previous_.time_s + std::clamp(f, 0.0, 1.0) * dt;
      // Along the slope from the level to low: the load's onset, not the level's.
      const double shift =
          std::min(0.5 * settings_.min_stance_s, (level - low) * dt / std::fabs(load - previous_.load));
      at = stance ? at + shift : std::max(phase_start_s_, at - shift);
    }
    pending_ = {stance ? EventType::kFootOff : EventType::kContact, at, index, 0, 0};
  }
  ++run_;
  const double min_phase = stance ? settings_.min_stance_s : settings_.min_swing_s;
  if (run_ < kConfirmSamples || pending_.time_s - phase_start_s_ < min_phase) return false;
  // Never later than the sample that decides it: an event is not told before its time.
  pending_.time_s = std::min(pending_.time_s, time_s);
  pending_.decided_index = index;
  pending_.load = load;
  phase_ = stance ? Phase::kSwing : Phase::kStance;
  phase_start_s_ = pending_.time_s;
  run_ = 0;
  return true;
}

}  // namespace tvis::gait
