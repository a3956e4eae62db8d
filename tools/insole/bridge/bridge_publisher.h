// The publishing half of the bridge: messages from the insoles go into a
// bounded buffer, and one thread hands them to the broker at QoS 1, a window
// at a time, keeping count of what the broker acknowledged. A message stays
// counted as not delivered until its PUBACK comes; after a lost connection
// the library sends the unacknowledged ones again (the session persists),
// and nothing newer goes out until they are through, so every insole's
// messages reach the broker in order. Per insole, a retained status message
// tells whether it is online and what was published, acknowledged and
// dropped; the host's status topic carries the last will.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "insole/bridge/bridge_buffer.h"
#include "insole/bridge/bridge_connection.h"
#include "insole/bridge/bridge_messages.h"

namespace insole {

struct PublisherOptions {
  std::string host_level;          // <host> in the topics
  uint64_t buffer_bytes = 64 << 20;
  std::string spool_dir;           // empty: memory only
  uint64_t spool_bytes = 1ull << 30;
};

// What the bridge is doing, for a status line.
struct BridgeState {
  bool connected = false;
  double away_s = 0;            // how long the broker has been away (0: not away)
  uint64_t published = 0, acknowledged = 0, dropped = 0;
  uint64_t buffered = 0;        // messages kept, not yet acknowledged
  uint64_t buffered_bytes = 0;  // their size in memory and spool
};

struct PublishOutcome {
  uint64_t published = 0;       // messages taken from the insoles
  uint64_t acknowledged = 0;    // PUBACKed by the broker
  uint64_t dropped = 0;         // dropped from a full buffer
  uint64_t refused = 0;         // PUBACKed with an error (not authorised for the topic, ...)
  uint64_t unsendable = 0;      // refused by the MQTT client itself (an id MQTT cannot carry, ...)
  uint64_t unacknowledged = 0;  // still buffered or in flight when the run ended
  size_t insoles = 0;
};

class Publisher final : public ConnectionEvents {
 public:
  Publisher(PublisherOptions options, ConnectionOptions connection);
  ~Publisher() override;

  // The host's status topic, which the last will sets to offline.
  static std::string host_status_topic(const std::string& host_level);
  static std::string offline_payload();

  // Connects; the one-line reason when the broker cannot be used.
  std::optional<std::string> connect();

  // From the source's thread: an insole's index for add().
  uint32_t add_insole(const std::string& device_id, const std::string& foot);
  void add(uint32_t insole, int64_t host_time_ns, MessageTopic topic, std::string_view payload);

  // Publishes the final statuses, waits up to timeout for the broker to
  // acknowledge everything, then disconnects cleanly.
  PublishOutcome finish(std::chrono::milliseconds timeout);

  BridgeState state() const;

  // ConnectionEvents, from the network thread.
  void connected() override;
  void disconnected() override;
  void published(int mid, int reason_code) override;

 private:
  struct Insole {
    std::string device_id;
    std::string foot;
    std::string topics[5];  // by MessageTopic
    std::string status_topic;
    uint64_t next_number = 1;
    uint64_t published = 0, acknowledged = 0, dropped = 0, refused = 0, unsendable = 0;
    // An id MQTT cannot carry (not UTF-8, or past 65,535 bytes): its
    // messages are counted as unsendable and never reach the queue, where one
    // that can never go out would stall every other insole's behind it.
    bool unpublishable = false;
    bool warned = false;  // of a message the client refused
  };
  static constexpr uint32_t kStatusMessage = UINT32_MAX;

  void pump();
  bool ready_locked() const;
  int publish(const Outgoing& message, int& mid);  // the client's status code
  bool publish_status(const std::string& topic, const std::string& payload, int& mid);
  void handed_over(uint32_t insole, int mid);
  void acknowledged_locked(uint32_t insole, int reason_code);
  std::string status_payload_locked(const Insole& insole) const;

  PublisherOptions options_;
  std::string run_id_;
  std::unique_ptr<Connection> connection_;
  std::thread pump_thread_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable progress_;
  std::deque<Insole> insoles_;  // stable references; fields after creation guarded by mutex_
  OutgoingBuffer buffer_;
  std::unordered_map<int, uint32_t> in_flight_;  // mid -> insole (kStatusMessage for statuses)
  std::unordered_map<int, int> early_acks_;      // PUBACKs that came before publish() returned
  size_t reserved_ = 0;                          // taken from the buffer, not yet handed over
  bool connected_ = false;
  bool settling_ = false;       // after a reconnect: the library's resends come first
  bool statuses_due_ = true;
  bool host_online_due_ = false;
  bool finishing_ = false;
  bool stop_ = false;
  std::optional<std::chrono::steady_clock::time_point> outage_since_;  // set while the broker is away
  std::chrono::steady_clock::time_point next_status_{};
};

}  // namespace insole
