// The continuity rule of sample sequence numbers, shared by every road that
// watches a stream: the C receive path (which only logs), the JSON engine
// (which counts) and the tool's live view (which shows losses).
#pragma once

#include <cstdint>

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

}  // namespace tvis::protocol
