#include "c/receive.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "c/callbacks.h"
#include "c/device_key.h"
#include "c/ota_waiter.h"
#include "c/records.h"
#include "log/log.h"
#include "protocol/codec.h"
#include "protocol/parser.h"
#include "protocol/sequence.h"
#include "util/hex.h"

namespace tvis::c {

namespace {

using protocol::InsoleStreamParser;
using protocol::ParserEvent;

using DeviceParsers = LockedDeviceMap<InsoleStreamParser>;
using LastSeq = LockedDeviceMap<uint32_t>;

DeviceParsers& device_parsers() {
  static DeviceParsers* parsers = new DeviceParsers;
  return *parsers;
}

LastSeq& last_seq() {
  static LastSeq* seqs = new LastSeq;
  return *seqs;
}

// What the parser reported, copied out under the parser lock so that decoding
// and callbacks run without it.
struct PendingEvent {
  enum Kind : uint8_t { Frame, Dropped, Overflow } kind;
  uint8_t byte = 0;
  size_t offset = 0;  // Frame: payload position in Scratch::payloads
  size_t len = 0;
  protocol::BufferOverflow overflow{};
};

// Per-call working memory, reused across calls on the same thread so a steady
// stream allocates nothing. A callback that feeds data re-enters on the same
// thread; each nesting depth gets its own scratch.
struct Scratch {
  std::vector<PendingEvent> events;
  std::vector<uint8_t> payloads;
  protocol::InsoleResp msg;
  protocol::DecodeError error;
  std::string device_id;
};

class ScratchLease {
 public:
  ScratchLease() {
    if (pool_.size() <= depth_) pool_.push_back(std::make_unique<Scratch>());
    scratch_ = pool_[depth_++].get();
  }
  ~ScratchLease() { --depth_; }
  Scratch& operator*() { return *scratch_; }
  Scratch* operator->() { return scratch_; }

 private:
  static thread_local std::vector<std::unique_ptr<Scratch>> pool_;
  static thread_local size_t depth_;
  Scratch* scratch_;
};

thread_local std::vector<std::unique_ptr<Scratch>> ScratchLease::pool_;
thread_local size_t ScratchLease::depth_ = 0;

void collect(Scratch& s, const ParserEvent& event) {
  if (auto* f = std::get_if<protocol::FrameReceived>(&event)) {
    s.events.push_back({PendingEvent::Frame, 0, s.payloads.size(), f->frame.payload.size()});
    s.payloads.insert(s.payloads.end(), f->frame.payload.begin(), f->frame.payload.end());
  } else if (auto* m = std::get_if<protocol::CrcMismatch>(&event)) {
    // No strict-CRC option on this path: the parser has logged the mismatch
    // and the frame is used like any other.
    s.events.push_back({PendingEvent::Frame, 0, s.payloads.size(), m->frame.payload.size()});
    s.payloads.insert(s.payloads.end(), m->frame.payload.begin(), m->frame.payload.end());
  } else if (auto* d = std::get_if<protocol::DroppedByte>(&event)) {
    s.events.push_back({PendingEvent::Dropped, d->byte});
  } else if (auto* o = std::get_if<protocol::BufferOverflow>(&event)) {
    PendingEvent e{PendingEvent::Overflow};
    e.overflow = *o;
    s.events.push_back(e);
  }
}

void check_sequence(const char* device_id, uint32_t seq) {
  LastSeq& seqs = last_seq();
  std::lock_guard lock(seqs.mutex);
  auto it = seqs.map.find(std::string_view(device_id));
  if (it == seqs.map.end()) {
    seqs.map.emplace(device_id, seq);
    return;
  }
  const protocol::SequenceStep step{it->second, seq};
  if (!step.continuous()) {
    // "lost" here is the raw gap minus one, wrapping: a repeat reads 4294967295.
    TVIS_LOG(log::Level::Warn, log::kTargetC, "\xE2\x9A\xA0\xEF\xB8\x8F  Insole SeqNum not continuous for ",
             device_id, ": ", step.previous, " -> ", step.next, " (lost ", static_cast<uint32_t>(step.diff() - 1), ")");
  }
  it->second = seq;
}

}  // namespace

void dispatch(const char* device_id, const protocol::InsoleResp& msg) {
  CallbackSlots& cb = callbacks();
  if (msg.device_info) {
    if (auto fn = load(cb.device_info)) {
      TvisDeviceInfo record{};
      if (device_info_record(*msg.device_info, record)) fn(device_id, &record);
    }
  }
  if (msg.device_event) {
    if (auto fn = load(cb.device_event)) {
      TvisDeviceEvent record{msg.device_event->timestamp_ms, msg.device_event->type};
      fn(device_id, &record);
    }
  }
  if (msg.ota_resp) post_ota_response(device_id, *msg.ota_resp);
  if (msg.sensor_data) {
    const protocol::SensorData& sd = *msg.sensor_data;
    check_sequence(device_id, sd.seq_num);
    if (sd.pressure_data) {
      if (auto fn = load(cb.pressure)) {
        TvisPressureSample record = pressure_record(sd, *sd.pressure_data);
        fn(device_id, &record);
      }
    }
    if (sd.shear_data) {
      if (auto fn = load(cb.shear)) {
        TvisShearSample record = shear_record(sd, *sd.shear_data);
        fn(device_id, &record);
      }
    }
    if (sd.imu_data) {
      if (auto fn = load(cb.imu)) {
        TvisImuSample record = imu_record(sd, *sd.imu_data);
        fn(device_id, &record);
      }
    }
    if (sd.battery_data) {
      if (auto fn = load(cb.battery)) {
        TvisBatteryInfo record = battery_record(static_cast<uint8_t>(sd.device_id), *sd.battery_data);
        fn(device_id, &record);
      }
    }
  }
  if (msg.battery_data) {
    if (auto fn = load(cb.battery)) {
      // A stand-alone report names no foot; it reads as the left one.
      TvisBatteryInfo record = battery_record(protocol::DEVICE_LEFT, *msg.battery_data);
      fn(device_id, &record);
    }
  }
}

void receive_data(std::string_view device_id, const uint8_t* data, size_t len) {
  ScratchLease scratch;
  Scratch& s = *scratch;
  s.events.clear();
  s.payloads.clear();
  {
    DeviceParsers& parsers = device_parsers();
    std::lock_guard lock(parsers.mutex);
    auto it = parsers.map.find(device_id);
    if (it == parsers.map.end()) it = parsers.map.emplace(std::string(device_id), InsoleStreamParser{}).first;
    it->second.feed(std::span<const uint8_t>(data, len), [&s](const ParserEvent& e) { collect(s, e); });
  }
  if (s.events.empty()) return;

  s.device_id.assign(device_id);
  for (const PendingEvent& e : s.events) {
    switch (e.kind) {
      case PendingEvent::Overflow:
        TVIS_LOG(log::Level::Warn, log::kTargetC, "Insole stream parser buffer overflow (max_len: ",
                 e.overflow.max_len, ", buffer_len: ", e.overflow.buffer_len,
                 ", incoming_len: ", e.overflow.incoming_len, "). Dropping oldest data.");
        break;
      case PendingEvent::Dropped:
        TVIS_LOG(log::Level::Debug, log::kTargetC, "Insole stream parser dropped byte: 0x", hex_u8(e.byte));
        break;
      case PendingEvent::Frame:
        if (protocol::decode_insole_resp_into({s.payloads.data() + e.offset, e.len}, s.msg, s.error)) {
          dispatch(s.device_id.c_str(), s.msg);
        } else {
          TVIS_LOG(log::Level::Error, log::kTargetC, "Failed to decode InsoleResp: ", s.error.to_string());
          s.error = {};
        }
        break;
    }
  }
}

void forget_device(std::string_view device_id) {
  DeviceParsers& parsers = device_parsers();
  std::lock_guard lock(parsers.mutex);
  auto it = parsers.map.find(device_id);
  if (it != parsers.map.end()) parsers.map.erase(it);
}

}  // namespace tvis::c
