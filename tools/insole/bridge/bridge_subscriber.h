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

struct SubscribeOutcome {
  uint64_t written = 0;
  uint64_t duplicates = 0;
  uint64_t not_frames = 0;  // JSON payloads: a capture holds frames
  uint64_t dropped = 0;     // of insoles whose capture could not be made or written
  size_t insoles = 0;
  std::vector<int64_t> latencies_ns;  // receive time at the bridge to arrival here
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
