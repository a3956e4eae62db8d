#include "insole/bridge/bridge_subscriber.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "insole/bridge/bridge_topics.h"
#include "protocol/frame.h"
#include "util/wall_clock.h"
#include "version.h"

namespace insole {

namespace {

struct Properties {
  std::string run, device, foot;
  std::optional<uint64_t> number;
  std::optional<int64_t> host_time_ns;
};

Properties read_properties(const mosquitto_property* list) {
  Properties out;
  bool skip_first = false;
  for (const mosquitto_property* p = list;;) {
    char* name = nullptr;
    char* value = nullptr;
    p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, skip_first);
    if (p == nullptr) break;
    skip_first = true;
    const std::string_view key(name);
    if (key == "run") out.run = value;
    else if (key == "device") out.device = value;
    else if (key == "foot") out.foot = value;
    else if (key == "n") out.number = std::strtoull(value, nullptr, 10);
    else if (key == "t") out.host_time_ns = std::strtoll(value, nullptr, 10);
    std::free(name);
    std::free(value);
  }
  return out;
}

// insoles/<host>/<device>/<kind>: the three levels after the root.
bool split_topic(std::string_view topic, std::string& host, std::string& device, std::string& kind) {
  if (!topic.starts_with("insoles/")) return false;
  topic.remove_prefix(8);
  const size_t a = topic.find('/');
  if (a == std::string_view::npos) return false;
  const size_t b = topic.find('/', a + 1);
  if (b == std::string_view::npos || topic.find('/', b + 1) != std::string_view::npos) return false;
  host = topic.substr(0, a);
  device = topic.substr(a + 1, b - a - 1);
  kind = topic.substr(b + 1);
  return true;
}

}  // namespace

Subscriber::Subscriber(SubscriberOptions options, ConnectionOptions connection) : options_(std::move(options)) {
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

bool Subscriber::failed() const {
  // One insole's capture failing never ends the run for the others.
  return false;
}

Subscriber::Capture* Subscriber::capture_locked(const std::string& host, const std::string& device,
                                                const std::string& device_id, const std::string& foot) {
  const std::string key = host + "/" + device;
  auto it = captures_.find(key);
  if (it != captures_.end()) return it->second.file ? &it->second : nullptr;
  Capture& c = captures_[key];
  // Both levels come from the network: encoded, they stay inside out_dir.
  const std::string host_name = capture_name(host), device_name = capture_name(device);
  if (host_name.empty() || device_name.empty()) {
    std::fprintf(stderr, "insole: not capturing a topic with an empty or overlong level (%s/%.40s...)\n",
                 host_name.c_str(), device_name.c_str());
    return nullptr;
  }
  const std::string dir = options_.out_dir + "/" + host_name;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // Never over an existing file (an earlier run's capture): the next free +N.
  std::string path;
  int fd = -1;
  for (int n = 1; fd < 0 && n <= 1000; ++n) {
    path = dir + "/" + device_name + (n == 1 ? "" : "+" + std::to_string(n)) + ".mcap";
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd >= 0) c.file = ::fdopen(fd, "wb");
  if (c.file == nullptr) {
    // One line; this insole's messages are counted as dropped, the others go on.
    std::fprintf(stderr, "insole: cannot write %s: %s; its messages are dropped\n", path.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    write_errors_ = true;
    return nullptr;
  }
  c.sink = std::make_unique<tvis::capture::FileSink>(c.file);
  c.writer = std::make_unique<tvis::capture::McapWriter>(*c.sink, tvis::capture::WriterOptions{});
  c.writer->add_metadata("session", {{"sdk_version", tvis::kVersion}, {"source", "MQTT bridge, host " + host}});
  const std::string id = device_id.empty() ? device : device_id;
  c.channel = c.writer->add_channel(0, "/insole/" + id + "/notifications", "insole.notification",
                                    {{"device_id", id}, {"foot", foot.empty() ? "unknown" : foot}});
  return &c;
}

void Subscriber::message(const mosquitto_message& message, const mosquitto_property* properties) {
  std::string host, device, kind;
  if (message.topic == nullptr || !split_topic(message.topic, host, device, kind)) return;
  if (kind != "sensor" && kind != "event" && kind != "battery" && kind != "info") return;
  const auto* bytes = static_cast<const uint8_t*>(message.payload);
  const std::span<const uint8_t> payload(bytes, static_cast<size_t>(message.payloadlen));
  const int64_t now = tvis::wall_clock_ns();
  const Properties p = read_properties(properties);

  std::lock_guard lock(mutex_);
  const bool is_frame = payload.size() >= 4 && std::memcmp(payload.data(), tvis::protocol::kMagic, 4) == 0;
  if (!is_frame) {
    ++outcome_.not_frames;
    return;
  }
  Capture* c = capture_locked(host, device, p.device, p.foot);
  if (c == nullptr) {
    ++outcome_.dropped;
    return;
  }
  if (p.number) {
    uint64_t& last = c->last_number[p.run];
    if (*p.number <= last) {
      ++outcome_.duplicates;
      return;
    }
    last = *p.number;
  }
  const auto at = static_cast<uint64_t>(p.host_time_ns.value_or(now));
  c->writer->write_message(c->channel, at, static_cast<uint64_t>(now), payload);
  if (!c->writer->ok() && outcome_.error.empty()) {
    // The error shows at the end; the other insoles' captures go on.
    outcome_.error = "cannot write the capture of " + capture_name(host) + "/" + capture_name(device);
  }
  ++outcome_.written;
  // A retained message is as old as its publication, not a measure of the pipe.
  if (p.host_time_ns && !message.retain) outcome_.latencies_ns.add(now - *p.host_time_ns);
}

void LatencySample::add(int64_t latency_ns) {
  ++seen_;
  if (kept_.size() < kKept) {
    kept_.push_back(latency_ns);
    return;
  }
  state_ = state_ * 6364136223846793005u + 1442695040888963407u;  // a 64-bit LCG: enough for a sample
  const uint64_t slot = (state_ >> 11) % seen_;
  if (slot < kKept) kept_[slot] = latency_ns;
}

std::vector<int64_t> LatencySample::sorted() const {
  std::vector<int64_t> out = kept_;
  std::sort(out.begin(), out.end());
  return out;
}

void Subscriber::tick() {
  const auto now = static_cast<uint64_t>(tvis::wall_clock_ns());
  std::lock_guard lock(mutex_);
  for (auto& [key, c] : captures_)
    if (c.file) c.writer->poll(now);
}

SubscribeOutcome Subscriber::finish() {
  if (connection_) connection_->close();
  std::lock_guard lock(mutex_);
  for (auto& [key, c] : captures_) {
    if (c.file == nullptr) continue;
    const bool ok = c.writer->close() && std::fclose(c.file) == 0;
    c.file = nullptr;
    if (!ok && outcome_.error.empty()) outcome_.error = "cannot write the capture of " + key;
  }
  outcome_.insoles = captures_.size();
  if (write_errors_ && outcome_.error.empty()) outcome_.error = std::to_string(outcome_.dropped) + " messages dropped: their capture could not be written";
  return outcome_;
}

}  // namespace insole
