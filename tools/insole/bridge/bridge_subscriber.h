// The far end of the bridge: subscribes to the insoles' topics on a broker
// and writes one capture per insole (DIR/<host>/<device>.mcap), leaving out
// the copies QoS 1 may deliver twice. The bridge numbers every message of an
// insole within one run (user properties "run" and "n"): unlike the insole's
// own sequence number, that number covers every kind of message and does
// not restart when the insole reconnects, so a copy is known for certain.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "insole/bridge/bridge_connection.h"
#include "capture/mcap_writer.h"

namespace insole {

struct SubscriberOptions {
  std::string out_dir;
  std::string host_level = "+";  // one host, or every one
};

// The latencies a run keeps for its percentiles: every one up to kKept, then
// a uniform sample of all of them (reservoir sampling), so a long run costs
// a fixed 512 KiB and not 8 bytes per message.
class LatencySample {
 public:
  static constexpr size_t kKept = 65536;
  void add(int64_t latency_ns);
  // Sorted; the sample, not every latency, past kKept.
  std::vector<int64_t> sorted() const;
  bool empty() const { return kept_.empty(); }

 private:
  std::vector<int64_t> kept_;
  uint64_t seen_ = 0;
  uint64_t state_ = 0x9E3779B97F4A7C15u;  // a fixed seed: the same run gives the same line
};

struct SubscribeOutcome {
  uint64_t written = 0;
  uint64_t duplicates = 0;
  uint64_t not_frames = 0;  // JSON payloads: a capture holds frames
  uint64_t dropped = 0;     // of insoles whose capture could not be made or written
  size_t insoles = 0;
  LatencySample latencies_ns;  // receive time at the bridge to arrival here
  std::string error;                  // a capture that could not be written
};

class Subscriber final : public ConnectionEvents {
 public:
  Subscriber(SubscriberOptions options, ConnectionOptions connection);
  ~Subscriber() override;

  std::optional<std::string> connect();
  // Closes the chunks that have waited long enough; call it now and then.
  void tick();
  // Disconnects and closes the captures.
  SubscribeOutcome finish();
  // True once a capture could not be written (the run should end).
  bool failed() const;

  void connected() override;
  void message(const mosquitto_message& message, const mosquitto_property* properties) override;

 private:
  struct Capture {
    std::FILE* file = nullptr;
    std::unique_ptr<tvis::capture::FileSink> sink;
    std::unique_ptr<tvis::capture::McapWriter> writer;
    uint16_t channel = 0;
    std::map<std::string, uint64_t> last_number;  // per bridge run
  };

  Capture* capture_locked(const std::string& host, const std::string& device, const std::string& device_id,
                          const std::string& foot);

  SubscriberOptions options_;
  std::unique_ptr<Connection> connection_;
  mutable std::mutex mutex_;
  std::map<std::string, Capture> captures_;  // by "<host>/<device>"
  SubscribeOutcome outcome_;
  bool write_errors_ = false;  // a capture could not be created
};

}  // namespace insole
