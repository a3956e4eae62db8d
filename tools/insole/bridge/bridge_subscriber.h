// The far end of the bridge: subscribes to the insoles' topics on a broker
// and hands every message to a CaptureIntake, which writes one capture per
// insole (DIR/<host>/<device>.mcap), leaving out the copies QoS 1 may
// deliver twice. The bridge numbers every message of an insole within one
// run (user properties "run" and "n"): unlike the insole's own sequence
// number, that number covers every kind of message and does not restart when
// the insole reconnects, so a copy is known for certain.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "insole/bridge/bridge_capture_files.h"
#include "insole/bridge/bridge_connection.h"
#include "insole/bridge/bridge_intake.h"

namespace insole {

struct SubscriberOptions {
  std::string out_dir;
  std::string host_level = "+";  // one host, or every one
};

// How many captures may be open at once: the descriptor limit less 32 for
// the connection and the rest of the process, and below the 1024 that the
// network library's select() can watch, so a reconnection always gets a
// descriptor it can use. Raises the soft descriptor limit as far as the
// hard one allows, up to 1024, first.
size_t open_capture_bound();

class Subscriber final : public ConnectionEvents {
 public:
  Subscriber(SubscriberOptions options, ConnectionOptions connection);
  ~Subscriber() override;

  std::optional<std::string> connect();
  // Closes the chunks that have waited long enough; call it now and then.
  void tick();
  // Disconnects and closes the captures.
  SubscribeOutcome finish();

  void connected() override;
  void message(const mosquitto_message& message, const mosquitto_property* properties) override;

 private:
  SubscriberOptions options_;
  std::unique_ptr<Connection> connection_;
  DiskCaptureFiles files_;
  mutable std::mutex mutex_;
  CaptureIntake intake_;  // guarded by mutex_
};

}  // namespace insole
