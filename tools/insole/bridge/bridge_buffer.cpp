#include "insole/bridge/bridge_buffer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace insole {

namespace {

constexpr uint64_t kSegmentBytes = 4 << 20;

// A record: device u32, number u64, host time i64, topic u8, retain u8,
// payload length u32, payload; native byte order (the spool never leaves
// the process that wrote it).
constexpr size_t kRecordHeader = 4 + 8 + 8 + 1 + 1 + 4;

}  // namespace

OutgoingBuffer::OutgoingBuffer(uint64_t memory_bytes, std::string spool_dir, uint64_t spool_bytes)
    : memory_limit_(memory_bytes), spool_dir_(std::move(spool_dir)), spool_limit_(spool_bytes) {}

OutgoingBuffer::~OutgoingBuffer() {
  if (tail_) std::fclose(tail_);
  // What is left was reported as not delivered; the files go with the run.
  for (const auto& s : segments_) std::remove(s.path.c_str());
}

void OutgoingBuffer::push(Outgoing message, std::vector<uint32_t>& dropped) {
  memory_bytes_ += cost(message);
  memory_.push_back(std::move(message));
  while (memory_bytes_ > memory_limit_ && !memory_.empty()) {
    Outgoing& oldest = memory_.front();
    if (spool_dir_.empty() || !spill(oldest)) dropped.push_back(oldest.device);
    memory_bytes_ -= cost(oldest);
    memory_.pop_front();
  }
  while (spooled_bytes_ > spool_limit_ && !segments_.empty()) drop_oldest_segment(dropped);
}

bool OutgoingBuffer::pop(Outgoing& message) {
  if (head_.empty() && spooled_count_ > 0 && !load_head()) {
    // An unreadable spool loses what it held; memory goes on.
    give_up_spool("cannot read the spool back");
  }
  std::deque<Outgoing>& from = !head_.empty() ? head_ : memory_;
  if (from.empty()) return false;
  message = std::move(from.front());
  from.pop_front();
  if (&from == &memory_) memory_bytes_ -= cost(message);
  return true;
}

void OutgoingBuffer::unpop(Outgoing message) {
  // In front of everything: it is older than what is left.
  head_.push_front(std::move(message));
}

bool OutgoingBuffer::spill(const Outgoing& m) {
  if (!spool_error_.empty()) return false;
  if (tail_ == nullptr || segments_.back().bytes >= kSegmentBytes) {
    if (tail_) std::fclose(tail_);
    std::error_code ec;
    std::filesystem::create_directories(spool_dir_, ec);
    Segment segment;
    segment.path = spool_dir_ + "/bridge-" + std::to_string(next_segment_++) + ".spool";
    tail_ = std::fopen(segment.path.c_str(), "wb");
    if (tail_ == nullptr) {
      give_up_spool(std::string("cannot write the spool: ") + std::strerror(errno));
      return false;
    }
    segments_.push_back(std::move(segment));
  }
  char header[kRecordHeader];
  const auto len = static_cast<uint32_t>(m.payload.size());
  const uint8_t retain = m.retain ? 1 : 0;
  char* p = header;
  std::memcpy(p, &m.device, 4), p += 4;
  std::memcpy(p, &m.number, 8), p += 8;
  std::memcpy(p, &m.host_time_ns, 8), p += 8;
  std::memcpy(p, &m.topic, 1), p += 1;
  std::memcpy(p, &retain, 1), p += 1;
  std::memcpy(p, &len, 4);
  if (std::fwrite(header, 1, sizeof header, tail_) != sizeof header ||
      std::fwrite(m.payload.data(), 1, len, tail_) != len) {
    give_up_spool(std::string("cannot write the spool: ") + std::strerror(errno));
    return false;
  }
  Segment& s = segments_.back();
  s.bytes += sizeof header + len;
  s.devices.push_back(m.device);
  spooled_bytes_ += sizeof header + len;
  ++spooled_count_;
  return true;
}

bool OutgoingBuffer::load_head() {
  Segment segment = std::move(segments_.front());
  segments_.pop_front();
  if (segments_.empty() && tail_) {
    std::fclose(tail_);
    tail_ = nullptr;
  }
  spooled_bytes_ -= segment.bytes;
  spooled_count_ -= segment.devices.size();
  std::FILE* in = std::fopen(segment.path.c_str(), "rb");
  bool ok = in != nullptr;
  for (size_t i = 0; ok && i < segment.devices.size(); ++i) {
    char header[kRecordHeader];
    Outgoing m;
    uint32_t len = 0;
    uint8_t retain = 0;
    ok = std::fread(header, 1, sizeof header, in) == sizeof header;
    if (!ok) break;
    const char* p = header;
    std::memcpy(&m.device, p, 4), p += 4;
    std::memcpy(&m.number, p, 8), p += 8;
    std::memcpy(&m.host_time_ns, p, 8), p += 8;
    std::memcpy(&m.topic, p, 1), p += 1;
    std::memcpy(&retain, p, 1), p += 1;
    std::memcpy(&len, p, 4);
    m.retain = retain != 0;
    m.payload.resize(len);
    ok = std::fread(m.payload.data(), 1, len, in) == len;
    if (ok) head_.push_back(std::move(m));
  }
  if (in) std::fclose(in);
  std::remove(segment.path.c_str());
  if (!ok) spool_lost_ += segment.devices.size() - head_.size();
  return ok;
}

void OutgoingBuffer::drop_oldest_segment(std::vector<uint32_t>& dropped) {
  Segment& s = segments_.front();
  dropped.insert(dropped.end(), s.devices.begin(), s.devices.end());
  spooled_bytes_ -= s.bytes;
  spooled_count_ -= s.devices.size();
  if (segments_.size() == 1 && tail_) {
    std::fclose(tail_);
    tail_ = nullptr;
  }
  std::remove(s.path.c_str());
  segments_.pop_front();
}

void OutgoingBuffer::give_up_spool(const std::string& why) {
  if (spool_error_.empty()) spool_error_ = why;
  if (tail_) std::fclose(tail_);
  tail_ = nullptr;
  for (const auto& s : segments_) std::remove(s.path.c_str());
  segments_.clear();
  spool_lost_ += spooled_count_;
  spooled_count_ = 0;
  spooled_bytes_ = 0;
}

}  // namespace insole
