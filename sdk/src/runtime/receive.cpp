#include "runtime/receive.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/callbacks.h"
#include "runtime/device_key.h"
#include "runtime/live_gait.h"
#include "runtime/ota_waiter.h"
#include "runtime/records.h"
#include "log/log.h"
#include "protocol/message_stream.h"
#include "util/hex.h"
#include "util/utf8.h"

namespace tvis::c {

namespace {

using protocol::InsoleStreamParser;
using protocol::MessageStream;

// What the receive path keeps for one device id: its stream parser and the
// last sequence number seen from it. A state is made by the first call for
// its id and never destroyed: the sequence number outlives a disconnect
// (which only empties the parser), and a state that never moves can be
// remembered by each thread, so a stream's calls find theirs without
// hashing its id.
struct DeviceState {
  const char* id = nullptr;  // the registry's key: NUL-terminated, lives as long as the state
  InsoleStreamParser parser;  // under the registry's mutex
  // Advanced without the lock: the check runs after the parser lock is
  // released, from whichever thread delivers the message.
  protocol::SharedLastSequence last_seq;
  LiveGaitLink gait;  // the device's gait tracker, when enabled
};

struct DeviceRegistry {
  std::mutex mutex;  // the map, and every parser in it
  DeviceMap<DeviceState> map;
};

DeviceRegistry& registry() {
  static DeviceRegistry* r = new DeviceRegistry;
  return *r;
}

// The state this thread used last. Initial-exec: the library is often loaded
// with dlopen (ctypes, the Python module), where the default model asks the
// dynamic linker on every access.
[[gnu::tls_model("initial-exec")]] thread_local DeviceState* t_last_device = nullptr;

// Finds or makes the state of an id that has been checked.
DeviceState& state_locked(DeviceRegistry& r, std::string_view id) {
  auto it = r.map.find(id);
  if (it == r.map.end()) {
    it = r.map.try_emplace(std::string(id)).first;
    it->second.id = it->first.c_str();
  }
  return it->second;
}

// Per-call working memory, reused across calls on the same thread so a steady
// stream allocates nothing. A callback that feeds data re-enters on the same
// thread; each nesting depth gets its own scratch.
// The stream copies the parser's events out under the parser lock, so that
// decoding and callbacks run without it. Its CRC policy is lenient (no
// strict-CRC option on this path: the parser has logged the mismatch), and
// the sequence check runs at its place in the dispatch order.
struct Scratch {
  MessageStream stream{{protocol::CrcPolicy::lenient, true, protocol::SequenceCheck::by_handler}};
};

struct ScratchPool {
  std::vector<std::unique_ptr<Scratch>> scratch;
  size_t depth = 0;
};

// The hot pointer is trivially destructible, so reaching it costs one load;
// the owner frees the pool when the thread ends and is touched only when the
// pool is made.
[[gnu::tls_model("initial-exec")]] thread_local ScratchPool* t_pool = nullptr;

struct PoolOwner {
  std::unique_ptr<ScratchPool> pool;
  ~PoolOwner() { t_pool = nullptr; }
};
thread_local PoolOwner t_pool_owner;

class ScratchLease {
 public:
  ScratchLease() {
    ScratchPool* pool = t_pool;
    if (!pool) [[unlikely]] pool = make_pool();
    if (pool->scratch.size() <= pool->depth) pool->scratch.push_back(std::make_unique<Scratch>());
    scratch_ = pool->scratch[pool->depth++].get();
    pool_ = pool;
  }
  ~ScratchLease() { --pool_->depth; }
  Scratch& operator*() { return *scratch_; }

 private:
  [[gnu::noinline]] static ScratchPool* make_pool() {
    t_pool_owner.pool = std::make_unique<ScratchPool>();
    return t_pool = t_pool_owner.pool.get();
  }
  ScratchPool* pool_;
  Scratch* scratch_;
};

// Reports one decoded message to the callbacks, in the fixed order.
void dispatch(DeviceState& device, MessageStream& stream, const protocol::InsoleResp& msg) {
  const char* device_id = device.id;
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
    const std::optional<protocol::SequenceStep> step = stream.check_sequence(sd.seq_num);
    if (sd.pressure_data) {
      if (auto fn = load(cb.pressure)) {
        TvisPressureSample record;
        pressure_record(sd, *sd.pressure_data, record);
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
    // After the sample's own callbacks, which a host may use to draw the
    // sample the event was decided on.
    if (LiveGait* gait = device.gait.enabled_for(device_id)) {
      TvisGaitEvent event;
      if (gait->push(sd, step, event)) {
        event.device_id = device_id;
        raise_gait_event(event);
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

// The C face's part of the road: its log lines and the callbacks.
class CallbackDispatch final : public protocol::StreamHandler {
 public:
  explicit CallbackDispatch(DeviceState& device) : device_(device) {}

  bool on_message(MessageStream& stream, const protocol::StreamFrame&, protocol::InsoleResp& msg,
                  const protocol::SequenceStep*) override {
    dispatch(device_, stream, msg);
    return true;
  }
  bool on_decode_error(MessageStream&, const protocol::StreamFrame&, const protocol::DecodeError& error) override {
    TVIS_LOG(log::Level::Error, log::kTargetC, "Failed to decode InsoleResp: ", error.to_string());
    return true;
  }
  void on_sequence_gap(MessageStream&, const protocol::SequenceStep& step) override {
    // "lost" here is the raw gap minus one, wrapping: a repeat reads 4294967295.
    TVIS_LOG(log::Level::Warn, log::kTargetC, "\xE2\x9A\xA0\xEF\xB8\x8F  Insole SeqNum not continuous for ",
             device_.id, ": ", step.previous, " -> ", step.next, " (lost ", static_cast<uint32_t>(step.diff() - 1),
             ")");
  }
  void on_dropped_byte(MessageStream&, uint8_t byte) override {
    TVIS_LOG(log::Level::Debug, log::kTargetC, "Insole stream parser dropped byte: 0x", hex_u8(byte));
  }
  void on_overflow(MessageStream&, const protocol::BufferOverflow& o) override {
    TVIS_LOG(log::Level::Warn, log::kTargetC, "Insole stream parser buffer overflow (max_len: ", o.max_len,
             ", buffer_len: ", o.buffer_len, ", incoming_len: ", o.incoming_len, "). Dropping oldest data.");
  }

 private:
  DeviceState& device_;
};

DeviceState& receive(DeviceState* known, const char* device_id, size_t id_len, const uint8_t* data, size_t len) {
  ScratchLease lease;
  MessageStream& stream = (*lease).stream;
  DeviceState* device = known;
  // A long block goes a queue budget at a time: collected under the lock,
  // delivered without it. Bytes another thread feeds for the same insole may
  // come between two pieces, as a notification would.
  std::span<const uint8_t> rest(data, len);
  const protocol::Feeding how = MessageStream::pieces_for(protocol::Feeding::notification, len);
  do {
    {
      DeviceRegistry& r = registry();
      std::lock_guard lock(r.mutex);
      if (!device) device = &state_locked(r, std::string_view(device_id, id_len));
      rest = rest.subspan(stream.collect_some(device->parser, rest, how));
    }
    if (stream.has_queued()) {
      CallbackDispatch dispatch_to(*device);
      stream.deliver(dispatch_to, &device->last_seq);
    }
  } while (!rest.empty());
  return *device;
}

}  // namespace

bool receive_from_host(const char* device_id, const uint8_t* data, size_t len) {
  if (device_id == nullptr || (data == nullptr && len != 0)) return false;
  // The id this thread used last is known to be valid: a host feeding one
  // stream per thread skips the check and the lookup.
  if (DeviceState* last = t_last_device; last && std::strcmp(last->id, device_id) == 0) {
    receive(last, device_id, 0, data, len);
    return true;
  }
  const size_t id_len = std::strlen(device_id);
  if (!is_valid_utf8(reinterpret_cast<const uint8_t*>(device_id), id_len)) return false;
  // Only ids that came as C texts are remembered: they hold no NUL, so
  // comparing them as C texts is comparing them whole.
  t_last_device = &receive(nullptr, device_id, id_len, data, len);
  return true;
}

void receive_data(std::string_view device_id, const uint8_t* data, size_t len) {
  receive(nullptr, device_id.data(), device_id.size(), data, len);
}

void forget_device(std::string_view device_id) {
  DeviceRegistry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.map.find(device_id);
  if (it != r.map.end()) it->second.parser.release();
}

}  // namespace tvis::c
