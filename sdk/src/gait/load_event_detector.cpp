#include "gait/load_event_detector.h"

#include <cmath>

namespace tvis::gait {

void LoadEventDetector::update_envelope(double time_s, double load) {
  while (!minima_.empty() && minima_.back().load >= load) minima_.pop_back();
  minima_.push_back({time_s, load});
  while (!maxima_.empty() && maxima_.back().load <= load) maxima_.pop_back();
  maxima_.push_back({time_s, load});
  const double oldest = time_s - settings_.window_s;
  while (minima_.front().time_s < oldest) minima_.pop_front();
  while (maxima_.front().time_s < oldest) maxima_.pop_front();
  if (has_previous_) {
    const double dt = time_s - previous_.time_s;
    const double alpha = std::fmin(1.0, dt / settings_.window_s);
    mean_change_ += alpha * (std::fabs(load - previous_.load) - mean_change_);
  }
}

std::optional<GaitEvent> LoadEventDetector::push(double time_s, double load) {
  if (!std::isfinite(time_s) || !std::isfinite(load)) return std::nullopt;
  if (has_previous_ && !(time_s > previous_.time_s)) return std::nullopt;
  update_envelope(time_s, load);
  const uint64_t index = index_++;
  const double low = minima_.front().load, high = maxima_.front().load;
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
  const double contact_level = low + settings_.contact_fraction * range;
  const double off_level = low + settings_.foot_off_fraction * range;
  std::optional<GaitEvent> decided;
  if (phase_ == Phase::kUnknown) {
    // No event for the phase the foot was already in when it became active.
    phase_ = load >= contact_level ? Phase::kStance : Phase::kSwing;
    phase_start_s_ = time_s;
  } else {
    const bool stance = phase_ == Phase::kStance;
    const double level = stance ? off_level : contact_level;
    const bool past = stance ? load < level : load >= level;
    if (!past) {
      run_ = 0;
    } else {
      if (run_ == 0) {
        double at = time_s;
        if (has_previous_ && load != previous_.load) {
          const double dt = time_s - previous_.time_s;
          const double f = (level - previous_.load) / (load - previous_.load);
          at = previous_.time_s + std::fmin(1.0, std::fmax(0.0, f)) * dt;
          // Along the slope from the level to low: the load's onset, not the level's.
          const double shift =
              std::fmin(0.5 * settings_.min_stance_s, (level - low) * dt / std::fabs(load - previous_.load));
          at = stance ? at + shift : std::fmax(phase_start_s_, at - shift);
        }
        pending_ = {stance ? EventType::kFootOff : EventType::kContact, at, index, 0, 0};
      }
      ++run_;
      const double min_phase = stance ? settings_.min_stance_s : settings_.min_swing_s;
      if (run_ >= kConfirmSamples && pending_.time_s - phase_start_s_ >= min_phase) {
        // Never later than the sample that decides it: an event is not told before its time.
        pending_.time_s = std::fmin(pending_.time_s, time_s);
        pending_.decided_index = index;
        pending_.load = load;
        decided = pending_;
        phase_ = stance ? Phase::kSwing : Phase::kStance;
        phase_start_s_ = pending_.time_s;
        run_ = 0;
      }
    }
  }
  previous_ = {time_s, load};
  has_previous_ = true;
  return decided;
}

}  // namespace tvis::gait
