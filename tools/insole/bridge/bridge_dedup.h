// Which messages of one insole the subscriber has already written, so that
// the copies QoS 1 may deliver twice are left out. The bridge numbers every
// message of an insole within its run (1, 2, 3, ...), and a copy comes soon
// after its original: at most the messages in flight (the bridge hands the
// library 1000 at a time) lie between them.
//
// So each run keeps a window of the kWindow numbers up to the highest one
// seen, one bit each. A number in the window is a copy when its bit is set;
// a number ahead of the highest by less than kWindow moves the window up.
// A number further away, either way (a forged 2^64-1, or a real jump after
// the bridge's buffer dropped messages in an outage), is written but moves
// nothing: only kStrays of them in a row, with no number of the window in
// between, move the window to them. So a forged number never makes real
// messages look like copies, and a real jump is followed after a few
// messages. What cannot be told apart is a forged copy of a real (run,
// number) pair: whichever comes first is written.
//
// State is fixed: kRuns runs per insole (the least recently used goes, and
// its messages are then judged afresh), each about 780 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace insole {

class MessageNumbers {
 public:
  static constexpr size_t kWindow = 4096;  // message numbers per run
  static constexpr size_t kRuns = 4;
  static constexpr size_t kStrays = 16;
  static constexpr size_t kMaxRunBytes = 64;  // longer run ids are refused by the caller

  // True when (run, number) has not been seen (write the message); marks it seen.
  bool fresh(std::string_view run, uint64_t number);

 private:
  struct Run {
    std::string id;
    uint64_t top = 0;  // the highest number of the window
    std::array<uint64_t, kWindow / 64> seen{};  // bit n % kWindow for n in (top - kWindow, top]
    std::array<uint64_t, kStrays> strays{};      // the last numbers outside the window
    size_t stray_count = 0;                      // kept in strays, up to kStrays
    size_t stray_next = 0;                       // where the next one goes
    size_t streak = 0;                           // outside the window in a row
    uint64_t used = 0;
  };

  Run& run_of(std::string_view id, uint64_t number, bool& created);
  static bool test(const Run& r, uint64_t n) { return (r.seen[(n % kWindow) / 64] >> (n % 64)) & 1; }
  static void set(Run& r, uint64_t n) { r.seen[(n % kWindow) / 64] |= uint64_t{1} << (n % 64); }
  static void move_to(Run& r, uint64_t top);
  static bool stray(Run& r, uint64_t n);

  std::vector<Run> runs_;
  uint64_t uses_ = 0;
};

}  // namespace insole
