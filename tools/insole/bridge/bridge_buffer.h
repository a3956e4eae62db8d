// The bridge's store of messages not yet handed to the broker: first in,
// first out, bounded in memory and optionally spilled to a spool directory
// on disk. Past the bounds the oldest messages go, and the caller learns
// whose they were so that the loss is counted per insole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace insole {

struct Outgoing {
  uint32_t device = 0;       // the bridge's index of the insole
  uint64_t number = 0;       // the bridge's message number for that insole, from 1
  int64_t host_time_ns = 0;  // when the bytes reached this host
  uint8_t topic = 0;         // MessageTopic
  bool retain = false;
  std::string payload;
};

class OutgoingBuffer {
 public:
  // spool_dir empty: memory only.
  OutgoingBuffer(uint64_t memory_bytes, std::string spool_dir, uint64_t spool_bytes);
  ~OutgoingBuffer();
  OutgoingBuffer(const OutgoingBuffer&) = delete;
  OutgoingBuffer& operator=(const OutgoingBuffer&) = delete;

  // Appends message; dropped receives the device of every message that had
  // to go to make room (the oldest first).
  void push(Outgoing message, std::vector<uint32_t>& dropped);
  // Takes the oldest message; false when there is none.
  bool pop(Outgoing& message);
  // Puts a message taken by pop() back in front (it could not be handed over).
  void unpop(Outgoing message);

  uint64_t size() const { return memory_.size() + head_.size() + spooled_count_; }
  bool empty() const { return size() == 0; }
  uint64_t memory_bytes() const { return memory_bytes_; }
  uint64_t spooled_bytes() const { return spooled_bytes_; }
  // The first spool failure, if any (the spool is then given up: memory only).
  const std::string& spool_error() const { return spool_error_; }
  // Messages lost with a spool that could not be read back.
  uint64_t spool_lost() const { return spool_lost_; }

 private:
  struct Segment {
    std::string path;
    uint64_t bytes = 0;
    std::vector<uint32_t> devices;  // one per message, to count a dropped segment
  };

  static uint64_t cost(const Outgoing& m) { return m.payload.size() + 64; }
  bool spill(const Outgoing& m);
  bool load_head();
  void drop_oldest_segment(std::vector<uint32_t>& dropped);
  void give_up_spool(const std::string& why);

  uint64_t memory_limit_;
  std::string spool_dir_;
  uint64_t spool_limit_;

  std::deque<Outgoing> head_;    // a spool segment read back, the oldest messages
  std::deque<Segment> segments_; // on disk, oldest first; the last one is open for writing
  std::FILE* tail_ = nullptr;
  uint64_t next_segment_ = 0;
  uint64_t spooled_count_ = 0;
  uint64_t spooled_bytes_ = 0;
  std::deque<Outgoing> memory_;  // the newest messages
  uint64_t memory_bytes_ = 0;
  std::string spool_error_;
  uint64_t spool_lost_ = 0;
};

}  // namespace insole
