// One connection to an MQTT broker through libmosquitto: MQTT 5 with a
// persistent session (a fixed client id, no clean start, a session that
// outlives the connection), optional TLS and login, an optional last will,
// and reconnection with backoff on the library's own network thread. The
// first connection is made (or refused) before connect() returns, so a wrong
// address or a refused login is reported at once.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "insole/bridge/bridge_topics.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace insole {

struct ConnectionOptions {
  BrokerAddress broker;
  std::string client_id;
  std::string username;
  std::string password;  // never logged
  std::string tls_ca;    // a CA file; with mqtts:// and none, the system's CAs
  std::string tls_cert;
  std::string tls_key;
  std::string will_topic;  // empty: no last will
  std::string will_payload;
};

// What the connection reports: from the thread in connect() until the first
// answer, then from the library's network thread; one call at a time, never
// with a lock of the connection held.
class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;
  virtual void connected() {}
  virtual void disconnected() {}
  virtual void published(int /*mid*/, int /*reason_code*/) {}
  virtual void message(const mosquitto_message& /*message*/, const mosquitto_property* /*properties*/) {}
};

class Connection {
 public:
  Connection(ConnectionOptions options, ConnectionEvents& events);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects and waits for the broker's answer. Returns the one-line reason
  // when there is no session (no "insole: " prefix).
  std::optional<std::string> connect();
  // A clean disconnect (the last will is not sent), then the network thread ends.
  void close();

  mosquitto* handle() { return mosq_; }
  const BrokerAddress& broker() const { return options_.broker; }

 private:
  static void on_connect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
  static void on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
  static void on_publish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*);
  static void on_message(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);

  ConnectionOptions options_;
  ConnectionEvents& events_;
  mosquitto* mosq_ = nullptr;
  bool loop_running_ = false;

  std::mutex mutex_;
  std::optional<int> first_answer_;  // the first CONNACK's reason code
};

}  // namespace insole
