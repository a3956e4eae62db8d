#include "insole/bridge/bridge_dedup.h"

#include <algorithm>

namespace insole {

MessageNumbers::Run& MessageNumbers::run_of(std::string_view id, uint64_t number, bool& created) {
  ++uses_;
  for (Run& r : runs_)
    if (r.id == id) {
      r.used = uses_;
      created = false;
      return r;
    }
  created = true;
  Run* r = nullptr;
  if (runs_.size() < kRuns) {
    r = &runs_.emplace_back();
  } else {
    r = &*std::min_element(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.used < b.used; });
    *r = Run{};
  }
  r->id = std::string(id);
  r->top = number;
  r->used = uses_;
  return *r;
}

void MessageNumbers::move_to(Run& r, uint64_t top) {
  const uint64_t ahead = top - r.top;  // top > r.top
  if (ahead >= kWindow) {
    r.seen.fill(0);
  } else {
    for (uint64_t i = 1; i <= ahead; ++i) r.seen[((r.top + i) % kWindow) / 64] &= ~(uint64_t{1} << ((r.top + i) % 64));
  }
  r.top = top;
}

// A number outside the window: false for a copy of a recent stray.
bool MessageNumbers::stray(Run& r, uint64_t n) {
  if (std::find(r.strays.begin(), r.strays.begin() + static_cast<std::ptrdiff_t>(r.stray_count), n) !=
      r.strays.begin() + static_cast<std::ptrdiff_t>(r.stray_count))
    return false;
  r.strays[r.stray_next] = n;
  r.stray_next = (r.stray_next + 1) % kStrays;
  r.stray_count = std::min(r.stray_count + 1, kStrays);
  if (++r.streak < kStrays) return true;
  // This many in a row: the numbers really went there. The window follows,
  // and keeps the strays that fall in it.
  r.streak = 0;
  r.top = n;
  r.seen.fill(0);
  for (size_t i = 0; i < r.stray_count; ++i)
    if (r.strays[i] <= n && n - r.strays[i] < kWindow) set(r, r.strays[i]);
  return true;
}

bool MessageNumbers::fresh(std::string_view run, uint64_t number) {
  bool created = false;
  Run& r = run_of(run, number, created);
  if (created) {
    set(r, number);
    return true;
  }
  if (number > r.top) {
    if (number - r.top >= kWindow) return stray(r, number);
    move_to(r, number);
  } else {
    if (r.top - number >= kWindow) return stray(r, number);
    r.streak = 0;
    if (test(r, number)) return false;
  }
  r.streak = 0;
  set(r, number);
  return true;
}

}  // namespace insole
