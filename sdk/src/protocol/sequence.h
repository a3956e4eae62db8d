// The continuity rule of sample sequence numbers, shared by every road that
// watches a stream through the message stream: the C receive path (which
// only logs), the JSON engine (which counts) and the tool's live view and
// export (which show losses).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace tvis::protocol {

// One step from the previous sequence number to the next, in wrapping
// unsigned 32-bit arithmetic.
struct SequenceStep {
  uint32_t previous;
  uint32_t next;

  uint32_t diff() const { return next - previous; }
  bool continuous() const { return diff() == 1; }
  // Numbers estimated missing. Only a forward jump of at most 1,000 is taken
  // as loss: a repeat, a step back or a larger jump is a restarted or reset
  // counter, whose size says nothing about lost packets.
  uint32_t estimated_lost() const { return diff() >= 2 && diff() <= 1000 ? diff() - 1 : 0; }
};

// The last sequence number of one device whose bytes several threads may
// deliver at once: one atomic swap reads the previous number and stores the
// new one, so no lock is held while messages are dispatched.
class SharedLastSequence {
 public:
  // Stores seq; the step from the previous number, none before the first.
  std::optional<SequenceStep> advance(uint32_t seq) {
    const uint64_t before = value_.exchange(kSeen | seq, std::memory_order_relaxed);
    if (!(before & kSeen)) return std::nullopt;
    return SequenceStep{static_cast<uint32_t>(before), seq};
  }

 private:
  static constexpr uint64_t kSeen = uint64_t{1} << 32;
  std::atomic<uint64_t> value_{0};  // the last number with kSeen set, 0 before the first
};

}  // namespace tvis::protocol
