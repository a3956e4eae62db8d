#include "insole/sources/recorder.h"

#include <cstdio>

#include "version.h"

extern const unsigned char kInsoleDescriptorSet[];
extern const std::size_t kInsoleDescriptorSet_size;

namespace insole {

std::span<const uint8_t> insole_descriptor_set() { return {kInsoleDescriptorSet, kInsoleDescriptorSet_size}; }

namespace {

tvis::capture::WriterOptions writer_options(bool live) {
  tvis::capture::WriterOptions o;
  o.live = live;
  return o;
}

}  // namespace

CaptureRecorder::CaptureRecorder(tvis::capture::ByteSink& sink, Options options)
    : options_(std::move(options)), writer_(sink, writer_options(options_.live)) {
  auto session = options_.session;
  session["sdk_version"] = tvis::kVersion;
  writer_.add_metadata("session", session);
  if (options_.decoded) schema_ = writer_.add_schema("insole_ref.InsoleResp", "protobuf", insole_descriptor_set());
}

CaptureRecorder::Insole* CaptureRecorder::insole_of(const SourceEvent& event) {
  auto it = insoles_.find(event.device_id);
  if (it != insoles_.end()) return &it->second;
  const tvis::capture::StringMap metadata{{"device_id", event.device_id}, {"foot", event.foot}};
  const uint16_t raw = writer_.add_channel(0, "/insole/" + event.device_id + "/notifications", "insole.notification", metadata);
  if (raw == 0) {
    // The capture's channel ids are used up: a new insole is not recorded
    // (rather than credited to another) and what is recorded stays intact.
    // Only a count is kept, so refused insoles cost no memory each.
    if (notifications_refused_++ == 0)
      std::fprintf(stderr, "insole: warning: the capture holds %zu channels, its most; new insoles are not recorded\n",
                   tvis::capture::McapWriter::kMaxIds);
    return nullptr;
  }
  Insole& insole = insoles_[event.device_id];
  insole.raw = raw;
  if (options_.decoded)
    insole.decoded = writer_.add_channel(schema_, "/insole/" + event.device_id + "/messages", "protobuf", metadata);
  return &insole;
}

void CaptureRecorder::record(const SourceEvent& event) {
  if (event.kind != SourceEvent::Kind::notification) return;
  Insole* found = insole_of(event);
  if (found == nullptr) return;
  Insole& insole = *found;
  const auto at = static_cast<uint64_t>(event.host_time_ns);
  writer_.write_message(insole.raw, at, at, event.bytes);
  last_event_ns_ = event.host_time_ns;
  last_event_at_ = std::chrono::steady_clock::now();
  if (!options_.decoded) return;
  struct Decoded final : tvis::protocol::StreamHandler {
    tvis::capture::McapWriter& writer;
    uint16_t channel;
    uint64_t at;
    Decoded(tvis::capture::McapWriter& w, uint16_t c, uint64_t t) : writer(w), channel(c), at(t) {}
    bool on_frame(tvis::protocol::MessageStream&, const tvis::protocol::StreamFrame& frame) override {
      writer.write_message(channel, at, at, frame.payload);
      return true;
    }
  } decoded(writer_, insole.decoded, at);
  insole.frames.feed(event.bytes, decoded);
}

void CaptureRecorder::poll() {
  if (last_event_ns_ == 0) return;
  const auto since = std::chrono::steady_clock::now() - last_event_at_;
  writer_.poll(static_cast<uint64_t>(last_event_ns_ + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()));
}

bool CaptureRecorder::close() {
  if (notifications_refused_ > 0)
    std::fprintf(stderr, "insole: warning: %llu notifications of insoles past the capture's %zu channels were not recorded\n",
                 static_cast<unsigned long long>(notifications_refused_), tvis::capture::McapWriter::kMaxIds);
  return writer_.close();
}

}  // namespace insole
