#include "insole/bridge/bridge_intake.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>

#include "insole/bridge/bridge_topics.h"
#include "protocol/frame.h"
#include "version.h"

namespace insole {

namespace {

// The properties the bridge sets; anything else is ignored.
struct Properties {
  std::string_view run, device, foot;
  std::optional<uint64_t> number;
  std::optional<int64_t> host_time_ns;
  bool malformed = false;
};

// Whole decimal text and nothing else: "12x", "", " 1" and values out of
// range are not numbers.
template <typename T>
std::optional<T> decimal(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || text[0] == '+') return std::nullopt;
  return value;
}

Properties read_properties(std::span<const UserProperty> list) {
  Properties out;
  for (const UserProperty& p : list) {
    if (p.key == "run") {
      out.run = p.value;
      if (p.value.size() > MessageNumbers::kMaxRunBytes) out.malformed = true;
    } else if (p.key == "device") {
      out.device = p.value;
    } else if (p.key == "foot") {
      out.foot = p.value;
    } else if (p.key == "n") {
      out.number = decimal<uint64_t>(p.value);
      if (!out.number) out.malformed = true;
    } else if (p.key == "t") {
      out.host_time_ns = decimal<int64_t>(p.value);
      if (!out.host_time_ns) out.malformed = true;
    }
  }
  return out;
}

// insoles/<host>/<device>/<kind>: the three levels after the root.
bool split_topic(std::string_view topic, std::string_view& host, std::string_view& device, std::string_view& kind) {
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

CaptureIntake::CaptureIntake(CaptureFiles& files, size_t max_open) : files_(files), max_open_(std::max<size_t>(max_open, 1)) {}

CaptureIntake::~CaptureIntake() { finish(); }

CaptureIntake::Insole* CaptureIntake::insole_of(std::string_view host, std::string_view device) {
  std::string host_name = capture_name(host), device_name = capture_name(device);
  std::string key = host_name + "/" + device_name;  // '/' is never in a name: the pair is unambiguous
  if (auto it = insoles_.find(key); it != insoles_.end()) return &it->second;
  if (insoles_.size() >= kMaxInsoles) {
    if (!warned_bound_) {
      std::fprintf(stderr, "insole: more than %zu insoles in this run: the messages of further ones are dropped\n",
                   kMaxInsoles);
      warned_bound_ = true;
    }
    return nullptr;
  }
  Insole& insole = insoles_[std::move(key)];
  insole.host_name = std::move(host_name);
  insole.device_name = std::move(device_name);
  return &insole;
}

bool CaptureIntake::open(Insole& insole, std::string_view host, std::string_view device_id, std::string_view foot) {
  if (open_.size() >= max_open_) close(*open_.back());
  std::unique_ptr<CaptureFile> file;
  std::string name, error;
  CaptureFiles::Made made = CaptureFiles::Made::failed;
  // The next free +N: never over an existing file (an earlier run's, or this
  // insole's earlier part).
  for (int tries = 0; tries < 1000; ++tries) {
    name = insole.device_name + (insole.next_part == 1 ? "" : "+" + std::to_string(insole.next_part)) + ".mcap";
    made = files_.create(insole.host_name, name, file, error);
    if (made == CaptureFiles::Made::out_of_descriptors && !open_.empty()) {
      // Something else holds descriptors too: give one capture back, once.
      close(*open_.back());
      made = files_.create(insole.host_name, name, file, error);
    }
    if (made != CaptureFiles::Made::exists) break;
    ++insole.next_part;
  }
  if (made != CaptureFiles::Made::created) {
    if (!insole.warned) {
      // One line; this insole's messages are counted as dropped, the others go on.
      std::fprintf(stderr, "insole: cannot write %s: %s; its messages are dropped\n",
                   files_.shown(insole.host_name, name).c_str(), error.c_str());
      insole.warned = true;
    }
    return false;
  }
  if (insole.opened++ > 0) ++outcome_.parts;
  ++insole.next_part;
  insole.file = std::move(file);
  tvis::capture::WriterOptions options;
  options.chunk_max_bytes = kChunkBytes;
  insole.writer = std::make_unique<tvis::capture::McapWriter>(*insole.file, options);
  insole.writer->add_metadata("session",
                              {{"sdk_version", tvis::kVersion}, {"source", "MQTT bridge, host " + std::string(host)}});
  const std::string id(device_id);
  insole.channel = insole.writer->add_channel(0, "/insole/" + id + "/notifications", "insole.notification",
                                              {{"device_id", id}, {"foot", foot.empty() ? "unknown" : std::string(foot)}});
  open_.push_front(&insole);
  insole.in_open = open_.begin();
  return true;
}

void CaptureIntake::close(Insole& insole) {
  if (!insole.file) return;
  const bool ok = insole.writer->close() && insole.file->close();
  if (!ok && outcome_.error.empty())
    outcome_.error = "cannot write the capture of " + insole.host_name + "/" + insole.device_name;
  insole.writer.reset();
  insole.file.reset();
  open_.erase(insole.in_open);
}

void CaptureIntake::take(std::string_view topic, std::span<const UserProperty> properties,
                         std::span<const uint8_t> payload, bool retained, int64_t now_ns) {
  std::string_view host, device, kind;
  if (!split_topic(topic, host, device, kind)) return;
  if (kind != "sensor" && kind != "event" && kind != "battery" && kind != "info") return;
  if (payload.size() < 4 || std::memcmp(payload.data(), tvis::protocol::kMagic, 4) != 0) {
    ++outcome_.not_frames;
    return;
  }
  const Properties p = read_properties(properties);
  if (p.malformed) {
    ++outcome_.malformed;
    return;
  }
  Insole* insole = insole_of(host, device);
  if (insole == nullptr) {
    ++outcome_.dropped;
    ++outcome_.past_bound;
    return;
  }
  if (!insole->file) {
    // Unsigned: a wall clock set back retries at once rather than waiting.
    const bool waiting =
        insole->failing && static_cast<uint64_t>(now_ns) - static_cast<uint64_t>(insole->failed_at_ns) < kRetryNs;
    if (waiting || !open(*insole, host, p.device.empty() ? device : p.device, p.foot)) {
      if (!waiting) insole->failing = true, insole->failed_at_ns = now_ns;
      ++outcome_.dropped;
      return;
    }
    insole->failing = false;
  }
  if (p.number && !insole->numbers.fresh(p.run, *p.number)) {
    ++outcome_.duplicates;
    return;
  }
  if (insole->in_open != open_.begin()) open_.splice(open_.begin(), open_, insole->in_open);
  const auto at = static_cast<uint64_t>(p.host_time_ns.value_or(now_ns));
  insole->writer->write_message(insole->channel, at, static_cast<uint64_t>(now_ns), payload);
  if (!insole->writer->ok()) {
    // The error shows at the end; this capture is given up (its next message
    // starts a new part) and the other insoles' go on.
    if (outcome_.error.empty())
      outcome_.error = "cannot write the capture of " + insole->host_name + "/" + insole->device_name;
    close(*insole);
    insole->failing = true;
    insole->failed_at_ns = now_ns;
    ++outcome_.dropped;
    return;
  }
  ++outcome_.written;
  // A retained message is as old as its publication, not a measure of the pipe.
  // Unsigned: a forged time must not overflow the difference.
  if (p.host_time_ns && !retained)
    outcome_.latencies_ns.add(static_cast<int64_t>(static_cast<uint64_t>(now_ns) - static_cast<uint64_t>(*p.host_time_ns)));
}

void CaptureIntake::poll(uint64_t now_ns) {
  for (Insole* insole : open_) insole->writer->poll(now_ns);
}

const SubscribeOutcome& CaptureIntake::finish() {
  while (!open_.empty()) close(*open_.front());
  outcome_.insoles = insoles_.size();
  return outcome_;
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

}  // namespace insole
