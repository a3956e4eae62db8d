#include "sim/gait.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/random.h"

namespace tvis::sim {

namespace {

using std::numbers::pi;
constexpr double kGravity = 9.80665;

struct Style {
  double cadence_spm;   // steps per minute (two steps per stride)
  double stance;        // share of the stride the foot is on the ground
  double pitch[5];      // foot pitch (deg, toes down +) at heel strike, foot flat, heel off, toe off, heel strike
  double swing_fwd_g;   // peak forward acceleration of the swinging foot
  double swing_up_g;    // peak lift acceleration
  double impact_g;      // heel-strike transient
  double brake;         // peak shear as a share of load
};

constexpr Style kWalk{108.0, 0.62, {-15.0, 0.0, 0.0, 35.0, -15.0}, 1.5, 0.5, 1.2, 0.18};
constexpr Style kRun{165.0, 0.38, {-8.0, 0.0, 0.0, 50.0, -8.0}, 3.2, 1.2, 3.5, 0.30};

const Style& style_of(Activity a) { return a == Activity::Running ? kRun : kWalk; }

double ease(double u) { return 0.5 - 0.5 * std::cos(pi * u); }

// Pitch of the foot over the stride and its rate (per unit of stride phase):
// cosine blends between the key poses, so the rate is continuous and zero at
// each pose.
void pitch_at(const Style& s, double phase, double& pitch_deg, double& rate_deg) {
  const double keys[5] = {0.0, 0.12 * s.stance, 0.6 * s.stance, s.stance, 1.0};
  int k = 0;
  while (k < 3 && phase >= keys[k + 1]) ++k;
  const double span = keys[k + 1] - keys[k];
  const double u = span > 0.0 ? (phase - keys[k]) / span : 0.0;
  const double delta = s.pitch[k + 1] - s.pitch[k];
  pitch_deg = s.pitch[k] + delta * ease(u);
  rate_deg = span > 0.0 ? delta * pi * std::sin(pi * u) / (2.0 * span) : 0.0;
}

// Vertical force over the stance (s from 0 to 1), in body weights: the double
// hump of walking (peaks near 1.15, a valley near 0.8), the single peak of
// running with its impact spike.
double stance_force(Activity a, double s) {
  if (a == Activity::Running) {
    const double spike = (s - 0.07) / 0.035;
    return 2.5 * std::sin(pi * s) + 0.5 * std::exp(-spike * spike);
  }
  return 1.15 * std::sin(pi * s) * (1.0 - 0.3 * std::cos(4.0 * pi * s));
}

}  // namespace

GaitModel::GaitModel(uint64_t seed, bool right_foot, double body_mass_kg, double cadence_spm, Activity activity)
    : seed_(seed),
      right_(right_foot),
      body_weight_n_(body_mass_kg * kGravity),
      cadence_spm_(cadence_spm),
      activity_(activity) {
  stride_len_ = stride_seconds(0);
  truth_.stride_len = stride_len_;
}

double GaitModel::stride_seconds(uint64_t index) const {
  const double cadence = cadence_spm_ > 0.0 ? cadence_spm_ : style_of(activity_).cadence_spm;
  // Strides vary by a few per cent, as a person's do.
  return 120.0 / cadence * (1.0 + 0.06 * (hashed_unit(seed_, index) - 0.5));
}

void GaitModel::set_activity(Activity activity, double t) {
  if (activity == activity_) return;
  if (keep_truth_) collect_truth(t, ended_truth_);
  activity_ = activity;
  stride_start_ = t;
  stride_len_ = stride_seconds(++stride_index_);
  truth_ = {t, t, stride_len_, stride_index_, std::max(t, truth_.told_until)};
}

void GaitModel::truth_until(double t, std::vector<TruthEvent>& out) {
  out.insert(out.end(), ended_truth_.begin(), ended_truth_.end());
  ended_truth_.clear();
  collect_truth(t, out);
}

void GaitModel::collect_truth(double t, std::vector<TruthEvent>& out) {
  if (!(t > truth_.told_until)) return;
  if (activity_ == Activity::Walking || activity_ == Activity::Running) {
    // The right foot runs half a stride behind (see at()): its stance begins
    // at phase 0.5 of the walker's stride and ends stance later, which for
    // walking falls in the next stride.
    const double stance = style_of(activity_).stance;
    const double contact = right_ ? 0.5 : 0.0;
    const double off = std::fmod(contact + stance, 1.0);
    const TruthEvent marks[2] = {{FootEvent::InitialContact, contact}, {FootEvent::FootOff, off}};
    const int first = off < contact ? 1 : 0;  // the earlier of the two in a stride
    TruthCursor& c = truth_;
    while (true) {
      for (int m = 0; m < 2; ++m) {
        const TruthEvent& mark = marks[(first + m) % 2];
        const double at = c.stride_start + mark.t * c.stride_len;
        if (at > c.told_until && at > c.segment_start && at <= t) out.push_back({mark.event, at});
      }
      // Same sums as advance_strides, so both timelines agree to the bit.
      if (t < c.stride_start + c.stride_len) break;
      c.stride_start += c.stride_len;
      c.stride_len = stride_seconds(++c.stride_index);
    }
  }
  truth_.told_until = t;
}

void GaitModel::advance_strides(double t) {
  while (t >= stride_start_ + stride_len_) {
    stride_start_ += stride_len_;
    stride_len_ = stride_seconds(++stride_index_);
  }
}

FootState GaitModel::at(double t) {
  FootState f;
  switch (activity_) {
    case Activity::Idle:
      // Lying flat, nobody in it.
      return f;
    case Activity::Standing: {
      // Quiet standing: half the weight on each foot, a slow sway that moves
      // weight between the feet and between heel and forefoot.
      const double sway = std::sin(2.0 * pi * 0.23 * t + (right_ ? pi : 0.0));
      f.worn = true;
      f.load_n = 0.5 * body_weight_n_ * (1.0 + 0.05 * sway);
      const double heel = 0.56 + 0.04 * std::sin(2.0 * pi * 0.11 * t);
      f.patches[0] = {0.5, 0.15, heel};
      f.patches[1] = {0.45, 0.76, 1.0 - heel};
      f.shear_fwd = 0.01 * sway;
      f.gyro_dps[0] = 0.4 * std::cos(2.0 * pi * 0.23 * t);
      return f;
    }
    case Activity::Walking:
    case Activity::Running:
      break;
  }

  advance_strides(t);
  const Style& s = style_of(activity_);
  double phase = (t - stride_start_) / stride_len_;
  if (right_) phase = phase < 0.5 ? phase + 0.5 : phase - 0.5;
  f.worn = true;

  double pitch_deg = 0.0, rate = 0.0;
  pitch_at(s, phase, pitch_deg, rate);
  const double pitch = pitch_deg * pi / 180.0;
  f.gyro_dps[0] = rate / stride_len_;
  f.acc_g[1] = -std::sin(pitch);
  f.acc_g[2] = std::cos(pitch);

  if (phase < s.stance) {
    const double st = phase / s.stance;
    f.load_n = body_weight_n_ * stance_force(activity_, st);
    // The centre of pressure rolls from the lateral heel to the medial
    // forefoot, lingering at both ends.
    const double y0 = activity_ == Activity::Running ? 0.3 : 0.1;
    f.patches[0] = {0.6 - 0.2 * st, y0 + (0.88 - y0) * ease(st), 1.0};
    f.shear_fwd = -s.brake * std::sin(2.0 * pi * st);
    f.shear_lat = 0.05 * std::sin(pi * st);
    const double since_strike = phase * stride_len_;
    f.acc_g[2] += s.impact_g * std::exp(-since_strike / 0.015);
  } else {
    const double sw = (phase - s.stance) / (1.0 - s.stance);
    f.acc_g[1] += s.swing_fwd_g * std::sin(2.0 * pi * sw);
    f.acc_g[2] += s.swing_up_g * std::sin(2.0 * pi * sw);
    f.gyro_dps[1] = (right_ ? -12.0 : 12.0) * std::sin(2.0 * pi * sw);
    f.gyro_dps[2] = 8.0 * std::sin(pi * sw);
  }
  return f;
}

}  // namespace tvis::sim
