#include "insole/bridge/bridge_publisher.h"

#include "log/log.h"
#include "util/utf8.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <random>

namespace insole {

namespace {

// Messages handed to the library and not yet acknowledged, at most. It keeps
// the library's own queue (which has no bound) short, so that the bound of
// the buffer is the bridge's memory bound.
constexpr size_t kWindow = 1000;
constexpr size_t kBatch = 64;
constexpr auto kStatusPeriod = std::chrono::seconds(2);

std::string new_run_id() {
  std::random_device device;
  const uint64_t id = (uint64_t{device()} << 32) ^ device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

// The status codes that mean the message may go out once the connection is back.
bool connection_gone(int rc) {
  return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NOMEM ||
         rc == MOSQ_ERR_KEEPALIVE;
}

}  // namespace

std::string Publisher::host_status_topic(const std::string& host_level) { return "insoles/" + host_level + "/status"; }

std::string Publisher::offline_payload() { return R"({"state":"offline"})"; }

Publisher::Publisher(PublisherOptions options, ConnectionOptions connection)
    : options_(std::move(options)),
      run_id_(new_run_id()),
      buffer_(options_.buffer_bytes, options_.spool_dir, options_.spool_bytes) {
  connection.will_topic = host_status_topic(options_.host_level);
  connection.will_payload = offline_payload();
  connection_ = std::make_unique<Connection>(std::move(connection), *this);
}

Publisher::~Publisher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (pump_thread_.joinable()) pump_thread_.join();
  connection_.reset();
}

std::optional<std::string> Publisher::connect() {
  if (auto failure = connection_->connect()) return failure;
  pump_thread_ = std::thread([this] { pump(); });
  return std::nullopt;
}

uint32_t Publisher::add_insole(const std::string& device_id, const std::string& foot) {
  Insole insole;
  insole.device_id = device_id;
  insole.foot = foot;
  const std::string base = "insoles/" + options_.host_level + "/" + topic_level(device_id) + "/";
  for (auto topic : {MessageTopic::sensor, MessageTopic::event, MessageTopic::battery, MessageTopic::info, MessageTopic::reply})
    insole.topics[static_cast<int>(topic)] = base + std::string(topic_name(topic));
  insole.status_topic = base + "status";
  insole.unpublishable = device_id.size() > 65535 ||
                         !tvis::is_valid_utf8(reinterpret_cast<const uint8_t*>(device_id.data()), device_id.size());
  if (insole.unpublishable)
    TVIS_LOG(tvis::log::Level::Warn, "insole::bridge", "an insole id that is not UTF-8 or is longer than 65535 bytes "
             "cannot go over MQTT; its messages are dropped");
  std::lock_guard lock(mutex_);
  insoles_.push_back(std::move(insole));
  statuses_due_ = true;
  return static_cast<uint32_t>(insoles_.size() - 1);
}

void Publisher::add(uint32_t insole, int64_t host_time_ns, MessageTopic topic, std::string_view payload) {
  Outgoing message;
  message.device = insole;
  message.host_time_ns = host_time_ns;
  message.topic = static_cast<uint8_t>(topic);
  message.retain = topic == MessageTopic::info;
  message.payload.assign(payload);
  std::vector<uint32_t> dropped;
  {
    std::lock_guard lock(mutex_);
    Insole& i = insoles_[insole];
    message.number = i.next_number++;
    ++i.published;
    if (i.unpublishable) {
      ++i.unsendable;
      return;
    }
    buffer_.push(std::move(message), dropped);
    for (uint32_t d : dropped) ++insoles_[d].dropped;
  }
  wake_.notify_one();
}

bool Publisher::ready_locked() const {
  if (stop_) return true;
  if (!connected_) return false;
  if (statuses_due_ || host_online_due_) return true;
  return !settling_ && !buffer_.empty() && in_flight_.size() + reserved_ < kWindow;
}

std::string Publisher::status_payload_locked(const Insole& insole) const {
  return std::string(R"({"state":")") + (finishing_ ? "offline" : "online") +
         R"(","published":)" + std::to_string(insole.published) + R"(,"acknowledged":)" +
         std::to_string(insole.acknowledged) + R"(,"dropped":)" + std::to_string(insole.dropped + insole.unsendable) + "}";
}

void Publisher::pump() {
  std::vector<Outgoing> batch;
  std::vector<std::pair<std::string, std::string>> statuses;  // topic, payload
  for (;;) {
    batch.clear();
    statuses.clear();
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return ready_locked(); });
      if (stop_) return;
      if (!connected_) continue;
      const auto now = std::chrono::steady_clock::now();
      if (host_online_due_) {
        statuses.emplace_back(host_status_topic(options_.host_level),
                              finishing_ ? offline_payload() : std::string(R"({"state":"online"})"));
        host_online_due_ = false;
      }
      if (statuses_due_ || now >= next_status_) {
        for (const Insole& insole : insoles_) statuses.emplace_back(insole.status_topic, status_payload_locked(insole));
        if (finishing_)
          statuses.emplace_back(host_status_topic(options_.host_level), offline_payload());
        statuses_due_ = false;
        next_status_ = now + kStatusPeriod;
      }
      reserved_ += statuses.size();
      Outgoing message;
      while (!settling_ && batch.size() < kBatch && in_flight_.size() + reserved_ < kWindow && buffer_.pop(message)) {
        batch.push_back(std::move(message));
        ++reserved_;
      }
    }
    for (const auto& [topic, payload] : statuses) {
      int mid = 0;
      if (publish_status(topic, payload, mid)) {
        handed_over(kStatusMessage, mid);
      } else {
        std::lock_guard lock(mutex_);
        --reserved_;
      }
    }
    for (size_t k = 0; k < batch.size(); ++k) {
      int mid = 0;
      const int rc = publish(batch[k], mid);
      if (rc == MOSQ_ERR_SUCCESS) {
        handed_over(batch[k].device, mid);
        continue;
      }
      if (!connection_gone(rc)) {
        // The client refuses this message itself: retrying it would block
        // every message behind it for ever. It is dropped and counted.
        std::lock_guard lock(mutex_);
        --reserved_;
        Insole& insole = insoles_[batch[k].device];
        ++insole.unsendable;
        if (!insole.warned) {
          insole.warned = true;
          TVIS_LOG(tvis::log::Level::Warn, "insole::bridge", "a message the MQTT client refuses (",
                   mosquitto_strerror(rc), ") is dropped; later ones of that insole are dropped alike");
        }
        continue;
      }
      // Not taken (the connection went): back to the buffer, in order.
      std::lock_guard lock(mutex_);
      for (size_t j = batch.size(); j-- > k;) buffer_.unpop(std::move(batch[j]));
      reserved_ -= batch.size() - k;
      break;
    }
  }
}

int Publisher::publish(const Outgoing& message, int& mid) {
  // Fields not guarded by the mutex: an insole's topics and foot never change.
  const Insole* insole = nullptr;
  {
    std::lock_guard lock(mutex_);
    insole = &insoles_[message.device];
  }
  // The subscriber dedups by (run, n) and knows the receive time from t.
  mosquitto_property* properties = nullptr;
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "run", run_id_.c_str());
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "n",
                                     std::to_string(message.number).c_str());
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "t",
                                     std::to_string(message.host_time_ns).c_str());
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "foot", insole->foot.c_str());
  mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "device", insole->device_id.c_str());
  const int rc = mosquitto_publish_v5(connection_->handle(), &mid, insole->topics[message.topic].c_str(),
                                      static_cast<int>(message.payload.size()), message.payload.data(), 1,
                                      message.retain, properties);
  mosquitto_property_free_all(&properties);
  return rc;
}

bool Publisher::publish_status(const std::string& topic, const std::string& payload, int& mid) {
  return mosquitto_publish_v5(connection_->handle(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, true, nullptr) == MOSQ_ERR_SUCCESS;
}

void Publisher::handed_over(uint32_t insole, int mid) {
  {
    std::lock_guard lock(mutex_);
    --reserved_;
    auto early = early_acks_.find(mid);
    if (early != early_acks_.end()) {
      const int reason = early->second;
      early_acks_.erase(early);
      acknowledged_locked(insole, reason);
    } else {
      in_flight_.emplace(mid, insole);
    }
  }
  progress_.notify_all();
}

void Publisher::acknowledged_locked(uint32_t insole, int reason_code) {
  if (insole != kStatusMessage) {
    if (reason_code >= 128)
      ++insoles_[insole].refused;
    else
      ++insoles_[insole].acknowledged;
  }
  if (settling_ && in_flight_.empty()) settling_ = false;
}

void Publisher::connected() {
  std::optional<double> outage_s;
  uint64_t buffered = 0;
  {
    std::lock_guard lock(mutex_);
    connected_ = true;
    settling_ = !in_flight_.empty();
    host_online_due_ = true;
    statuses_due_ = true;
    if (outage_since_) {
      outage_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - *outage_since_).count();
      outage_since_.reset();
    }
    buffered = buffer_.size() + in_flight_.size();
  }
  wake_.notify_all();
  // An operator must see an outage end, whatever the terminal: one line.
  if (outage_s)
    TVIS_LOG(tvis::log::Level::Info, "insole::bridge", "broker connection back after ",
             static_cast<uint64_t>(*outage_s * 1000), " ms; sending the ", buffered, " messages kept meanwhile");
}

void Publisher::disconnected() {
  uint64_t buffered = 0;
  {
    std::lock_guard lock(mutex_);
    const bool lost = connected_ && !stop_;  // not the clean end of the run
    connected_ = false;
    if (!lost || outage_since_) return;
    outage_since_ = std::chrono::steady_clock::now();
    buffered = buffer_.size() + in_flight_.size();
  }
  TVIS_LOG(tvis::log::Level::Info, "insole::bridge", "broker connection lost; reconnecting with backoff, keeping up to ",
           options_.buffer_bytes >> 20, " MiB of messages", options_.spool_dir.empty() ? "" : " plus the spool",
           " (", buffered, " waiting now)");
}

BridgeState Publisher::state() const {
  std::lock_guard lock(mutex_);
  BridgeState st;
  st.connected = connected_;
  if (outage_since_)
    st.away_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - *outage_since_).count();
  for (const Insole& i : insoles_) {
    st.published += i.published;
    st.acknowledged += i.acknowledged;
    st.dropped += i.dropped;
  }
  st.buffered = buffer_.size() + reserved_ + in_flight_.size();
  st.buffered_bytes = buffer_.memory_bytes() + buffer_.spooled_bytes();
  return st;
}

void Publisher::published(int mid, int reason_code) {
  {
    std::lock_guard lock(mutex_);
    auto it = in_flight_.find(mid);
    if (it == in_flight_.end()) {
      early_acks_[mid] = reason_code;
    } else {
      const uint32_t insole = it->second;
      in_flight_.erase(it);
      acknowledged_locked(insole, reason_code);
    }
  }
  wake_.notify_all();
  progress_.notify_all();
}

PublishOutcome Publisher::finish(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto delivered = [this] { return !statuses_due_ && buffer_.empty() && reserved_ == 0 && in_flight_.empty(); };
  std::unique_lock lock(mutex_);
  // The data first, so that the final statuses count every acknowledgement.
  progress_.wait_until(lock, deadline, delivered);
  finishing_ = true;
  statuses_due_ = true;
  wake_.notify_all();
  progress_.wait_until(lock, deadline, delivered);
  PublishOutcome outcome;
  outcome.insoles = insoles_.size();
  for (const Insole& i : insoles_) {
    outcome.published += i.published;
    outcome.acknowledged += i.acknowledged;
    outcome.dropped += i.dropped;
    outcome.refused += i.refused;
    outcome.unsendable += i.unsendable;
  }
  outcome.dropped += buffer_.spool_lost();
  outcome.unacknowledged = buffer_.size() + reserved_;
  for (const auto& [mid, insole] : in_flight_)
    if (insole != kStatusMessage) ++outcome.unacknowledged;
  stop_ = true;
  lock.unlock();
  wake_.notify_all();
  if (pump_thread_.joinable()) pump_thread_.join();
  connection_->close();
  return outcome;
}

}  // namespace insole
