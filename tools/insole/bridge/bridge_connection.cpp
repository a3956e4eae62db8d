#include "insole/bridge/bridge_connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace insole {

namespace {

// How long the broker may take to answer the first CONNECT (a TLS handshake
// included) before the address counts as wrong.
constexpr auto kFirstAnswerTimeout = std::chrono::seconds(5);
constexpr int kKeepAliveSeconds = 20;
constexpr int kInFlight = 1000;
// The broker keeps the session (subscriptions, messages queued for it) this
// long after the connection is lost.
constexpr uint32_t kSessionExpirySeconds = 24 * 3600;

void init_library() {
  static const int once = [] {
    mosquitto_lib_init();
    return 0;
  }();
  (void)once;
}

std::string login_refusal(int reason) {
  switch (reason) {
    case MQTT_RC_NOT_AUTHORIZED:
    case CONNACK_REFUSED_NOT_AUTHORIZED:
      return "broker refused the login (not authorised)";
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
      return "broker refused the login (bad user name or password)";
    default:
      return std::string("broker refused the connection (") + mosquitto_reason_string(reason) + ")";
  }
}

// The library's connect blocks for as long as the system tries (minutes for
// an address that drops packets); a TCP probe bounded by the answer timeout
// tells a wrong address at once. Returns the errno of the failure, 0 when
// the broker's port accepted, EAI_NONAME-like failures as -1.
int probe_tcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int error = ECONNREFUSED;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      error = 0;
    } else if (errno != EINPROGRESS) {
      error = errno;
    } else {
      pollfd p{fd, POLLOUT, 0};
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstAnswerTimeout).count();
      if (poll(&p, 1, static_cast<int>(ms)) != 1) {
        error = ETIMEDOUT;
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
    ::close(fd);
    if (error == 0) break;
  }
  freeaddrinfo(found);
  return error;
}

}  // namespace

Connection::Connection(ConnectionOptions options, ConnectionEvents& events)
    : options_(std::move(options)), events_(events) {
  init_library();
  mosq_ = mosquitto_new(options_.client_id.c_str(), false, this);
  if (mosq_ == nullptr) throw std::runtime_error("cannot start an MQTT client: out of memory");
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_v5_callback_set(mosq_, on_connect);
  mosquitto_disconnect_v5_callback_set(mosq_, on_disconnect);
  mosquitto_publish_v5_callback_set(mosq_, on_publish);
  mosquitto_message_v5_callback_set(mosq_, on_message);
  mosquitto_reconnect_delay_set(mosq_, 1, 8, true);
  // The library's default of 20 unacknowledged messages each way caps a
  // subscriber of a few hundred insoles well below their rate: a round trip
  // per 20 messages.
  mosquitto_int_option(mosq_, MOSQ_OPT_RECEIVE_MAXIMUM, kInFlight);
  mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kInFlight);
}

Connection::~Connection() {
  close();
  mosquitto_destroy(mosq_);
}

std::optional<std::string> Connection::connect() {
  const auto& o = options_;
  if (!o.username.empty() || !o.password.empty()) {
    if (mosquitto_username_pw_set(mosq_, o.username.empty() ? nullptr : o.username.c_str(),
                                  o.password.empty() ? nullptr : o.password.c_str()) != MOSQ_ERR_SUCCESS)
      return "the user name is not valid for MQTT";
  }
  if (o.broker.tls || !o.tls_ca.empty()) {
    const int rc = mosquitto_tls_set(mosq_, o.tls_ca.empty() ? nullptr : o.tls_ca.c_str(),
                                     o.tls_ca.empty() ? "/etc/ssl/certs" : nullptr,
                                     o.tls_cert.empty() ? nullptr : o.tls_cert.c_str(),
                                     o.tls_key.empty() ? nullptr : o.tls_key.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return std::string("cannot set up TLS: ") + mosquitto_strerror(rc);
  }
  if (!o.will_topic.empty()) {
    const int rc = mosquitto_will_set_v5(mosq_, o.will_topic.c_str(), static_cast<int>(o.will_payload.size()),
                                         o.will_payload.data(), 1, true, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return std::string("cannot set the last will: ") + mosquitto_strerror(rc);
  }
  const std::string where = "the broker at " + o.broker.text();
  if (const int error = probe_tcp(o.broker.host, o.broker.port)) {
    if (error < 0) return "cannot find the broker host '" + o.broker.host + "'";
    return "cannot reach " + where + ": " + std::strerror(error);
  }
  mosquitto_property* properties = nullptr;
  mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds);
  errno = 0;
  const int rc = mosquitto_connect_bind_v5(mosq_, o.broker.host.c_str(), o.broker.port, kKeepAliveSeconds, nullptr,
                                           properties);
  mosquitto_property_free_all(&properties);
  if (rc == MOSQ_ERR_ERRNO) return "cannot reach " + where + ": " + std::strerror(errno);
  if (rc == MOSQ_ERR_EAI) return "cannot find the broker host '" + o.broker.host + "'";
  if (rc != MOSQ_ERR_SUCCESS) return "cannot connect to " + where + ": " + mosquitto_strerror(rc);
  // The first answer is awaited on this thread, so that whatever ends the
  // attempt (a refused login, a failed TLS handshake, silence) is reported
  // here rather than retried with backoff on the network thread.
  const auto deadline = std::chrono::steady_clock::now() + kFirstAnswerTimeout;
  std::optional<std::string> failure;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (first_answer_) {
        if (*first_answer_ != 0) failure = login_refusal(*first_answer_);
        break;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failure = "no answer from " + where;
      break;
    }
    const int loop = mosquitto_loop(mosq_, 100, 1);
    if (loop != MOSQ_ERR_SUCCESS) {
      std::lock_guard lock(mutex_);
      if (first_answer_ && *first_answer_ != 0) {
        failure = login_refusal(*first_answer_);
      } else if (!first_answer_) {
        failure = "cannot connect to " + where + ": " +
                  (loop == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(loop));
      }
      if (failure || !first_answer_) break;
    }
  }
  if (failure) {
    mosquitto_disconnect(mosq_);
    return failure;
  }
  if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return "cannot start the MQTT network thread";
  loop_running_ = true;
  return failure;
}

void Connection::close() {
  if (!loop_running_) return;
  mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  mosquitto_loop_stop(mosq_, false);
  loop_running_ = false;
}

void Connection::on_connect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
  auto* c = static_cast<Connection*>(self);
  {
    std::lock_guard lock(c->mutex_);
    if (!c->first_answer_) c->first_answer_ = rc;
  }
  if (rc == 0) c->events_.connected();
}

void Connection::on_disconnect(mosquitto*, void* self, int, const mosquitto_property*) {
  static_cast<Connection*>(self)->events_.disconnected();
}

void Connection::on_publish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*) {
  static_cast<Connection*>(self)->events_.published(mid, rc);
}

void Connection::on_message(mosquitto*, void* self, const mosquitto_message* message,
                            const mosquitto_property* properties) {
  static_cast<Connection*>(self)->events_.message(*message, properties);
}

}  // namespace insole
