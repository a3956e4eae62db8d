// What a virtual insole has sent but the driver not yet collected: pieces
// and link changes in order, each with the instant it leaves the insole.
// The order never changes, so a piece held back holds back everything behind
// it, as on a real link. The bytes are bounded: a driver that stops draining
// loses frames, not memory.
#pragma once

#include <cstdint>
#include <algorithm>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "sim/virtual_insole.h"
#include "util/function_ref.h"

namespace tvis::sim {

class OutputQueue {
 public:
  static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

  explicit OutputQueue(size_t max_bytes) : max_(max_bytes) {}

  bool has_room(size_t n) const { return bytes_.size() + n <= max_; }
  size_t queued_bytes() const { return bytes_.size(); }

  // True once per spell of overflow, for one log line per spell.
  bool note_overflow() { return !std::exchange(overflowing_, true); }

  void push(Output::Kind kind, std::span<const uint8_t> bytes, uint64_t due) {
    if (!entries_.empty()) due = std::max(due, entries_.back().due);
    entries_.push_back({kind, static_cast<uint32_t>(bytes.size()), due});
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }

  // Forgets what would leave after t: a link that drops at t never sends it.
  void cut_after(uint64_t t) {
    size_t keep = 0, keep_bytes = 0;
    while (keep < entries_.size() && entries_[keep].due <= t) keep_bytes += entries_[keep++].len;
    entries_.resize(keep);
    bytes_.resize(keep_bytes);
  }

  uint64_t first_due() const { return entries_.empty() ? kNone : entries_.front().due; }

  // Hands out everything due by now. The sink may push more (it goes in
  // behind); a drain from inside the sink does nothing.
  void drain(uint64_t now, FunctionRef<void(const Output&)> sink) {
    if (draining_) return;
    size_t n = 0, n_bytes = 0;
    while (n < entries_.size() && entries_[n].due <= now) n_bytes += entries_[n++].len;
    if (n == 0) return;
    out_entries_.assign(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n));
    out_bytes_.assign(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n_bytes));
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n_bytes));
    overflowing_ = false;
    draining_ = true;
    size_t at = 0;
    for (const Entry& e : out_entries_) {
      sink(Output{e.kind, std::span<const uint8_t>(out_bytes_.data() + at, e.len)});
      at += e.len;
    }
    draining_ = false;
  }

 private:
  struct Entry {
    Output::Kind kind;
    uint32_t len;
    uint64_t due;
  };

  size_t max_;
  bool overflowing_ = false;
  bool draining_ = false;
  std::vector<Entry> entries_;
  std::vector<uint8_t> bytes_;
  std::vector<Entry> out_entries_;
  std::vector<uint8_t> out_bytes_;
};

}  // namespace tvis::sim
