// One foot's gait tracker over any sequence of samples: each input is a run
// of (time step, load) pairs of 3 bytes, with a few bytes choosing special
// values (NaN, infinities, time that stands still or goes back, a lost frame
// before the sample). Whatever comes in, events are finite and advance, and
// every stride closed is consistent in itself and follows the one before.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "gait/foot_tracker.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

double load_of(uint8_t tag, uint8_t value, double last) {
  switch (tag >> 5) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return (tag & 1) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    case 2: return last;                                  // a flat signal, or saturation
    case 3: return (tag & 1) ? 1e300 : -1e300;            // absurd but finite
    default: return value * (1 + (tag & 15)) * 10.0;     // device units to newtons
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvis::gait;
  FootTracker tracker;
  double t = 0, load = 0;
  std::optional<GaitEvent> last;
  double last_stride_end = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i + 3 <= size; i += 3) {
    const uint8_t step = data[i], tag = data[i + 1], value = data[i + 2];
    if (step == 0xff) t -= 0.5;                           // back in time
    else if (step == 0xfe) t = std::numeric_limits<double>::quiet_NaN();
    else if (step == 0xfd) t = 0;                         // restarted clock
    else t += step / 2000.0;                              // 0 to 127 ms, 0 repeats the time
    if (std::isnan(t)) t = 0;
    if (tag == 0x5a) tracker.mark_gap();
    load = load_of(tag, value, load);
    const FootTracker::Step out = tracker.push(t, load);
    if (out.event) {
      require(std::isfinite(out.event->time_s) && std::isfinite(out.event->load));
      require(out.event->decided_index >= out.event->sample_index);
      // Kinds alternate only within a run of activity: one that lapses
      // forgets the phase, so the next event may be of either kind.
      if (last) require(out.event->decided_index > last->decided_index);
      last = out.event;
    }
    if (out.stride) {
      const StrideTimes& s = *out.stride;
      require(std::isfinite(s.stride_s) && std::isfinite(s.stance_s) && std::isfinite(s.swing_s));
      require(s.contact_s <= s.foot_off_s && s.foot_off_s <= s.next_contact_s);
      require(s.stride_s > 0 && s.stance_s >= 0 && s.swing_s >= 0);
      require(std::fabs(s.stance_s + s.swing_s - s.stride_s) <= 1e-9 * (1 + s.stride_s));
      require(s.contact_s >= last_stride_end - 1e-9);
      last_stride_end = s.next_contact_s;
    }
  }
  return 0;
}
