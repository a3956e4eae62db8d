#include "insole/bridge/bridge_subscriber.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <sys/resource.h>
#include <sys/select.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "util/wall_clock.h"

namespace insole {

namespace {

// The user properties the intake reads, copied out of the library's list.
struct OwnedProperties {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<UserProperty> views;
};

void read_properties(const mosquitto_property* list, OwnedProperties& out) {
  bool skip_first = false;
  for (const mosquitto_property* p = list;;) {
    char* name = nullptr;
    char* value = nullptr;
    p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, skip_first);
    if (p == nullptr) break;
    skip_first = true;
    const std::string_view key(name);
    // Only what the intake reads: a message may carry any number of others.
    if (key == "run" || key == "n" || key == "t" || key == "device" || key == "foot") out.pairs.emplace_back(name, value);
    std::free(name);
    std::free(value);
  }
  for (const auto& [key, value] : out.pairs) out.views.push_back({key, value});
}

}  // namespace

size_t open_capture_bound() {
  rlimit limit{};
  rlim_t descriptors = FD_SETSIZE;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    // A soft limit below what the hard one allows only costs captures.
    if (limit.rlim_cur < FD_SETSIZE && limit.rlim_max > limit.rlim_cur) {
      limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, FD_SETSIZE);
      setrlimit(RLIMIT_NOFILE, &limit);
      getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY) descriptors = std::min<rlim_t>(limit.rlim_cur, FD_SETSIZE);
  }
  constexpr rlim_t kHeadroom = 32;
  return descriptors > 2 * kHeadroom ? descriptors - kHeadroom : std::max<rlim_t>(descriptors / 2, 1);
}

Subscriber::Subscriber(SubscriberOptions options, ConnectionOptions connection)
    : options_(std::move(options)), files_(options_.out_dir), intake_(files_, open_capture_bound()) {
  connection_ = std::make_unique<Connection>(std::move(connection), *this);
}

Subscriber::~Subscriber() { finish(); }

std::optional<std::string> Subscriber::connect() { return connection_->connect(); }

void Subscriber::connected() {
  // The session keeps the subscription; asking again after a broker that
  // lost it costs nothing.
  const std::string filter = "insoles/" + options_.host_level + "/+/#";
  mosquitto_subscribe_v5(connection_->handle(), nullptr, filter.c_str(), 1, 0, nullptr);
}

void Subscriber::message(const mosquitto_message& message, const mosquitto_property* properties) {
  if (message.topic == nullptr) return;
  OwnedProperties p;
  read_properties(properties, p);
  const auto* bytes = static_cast<const uint8_t*>(message.payload);
  const std::span<const uint8_t> payload(bytes, static_cast<size_t>(std::max(message.payloadlen, 0)));
  const int64_t now = tvis::wall_clock_ns();
  std::lock_guard lock(mutex_);
  intake_.take(message.topic, p.views, payload, message.retain, now);
}

void Subscriber::tick() {
  const auto now = static_cast<uint64_t>(tvis::wall_clock_ns());
  std::lock_guard lock(mutex_);
  intake_.poll(now);
}

SubscribeOutcome Subscriber::finish() {
  if (connection_) connection_->close();
  std::lock_guard lock(mutex_);
  return intake_.finish();
}

}  // namespace insole
