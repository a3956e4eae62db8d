// Writes what a source hands out into an MCAP capture (a file, or the live
// feed form): one raw channel per insole, made when its first notification
// comes, and with `decoded` a second channel per insole carrying each frame's
// InsoleResp (protobuf, the insole proto's FileDescriptorSet as schema).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "capture/mcap_writer.h"
#include "protocol/parser.h"
#include "insole/sources/source.h"
#include "protocol/message_stream.h"

namespace insole {

// The FileDescriptorSet of the insole messages, generated at build time.
std::span<const uint8_t> insole_descriptor_set();

class CaptureRecorder {
 public:
  struct Options {
    bool live = false;     // the live feed form: no chunks, a flush per message
    bool decoded = false;  // add the decoded channels
    tvis::capture::StringMap session;  // the session metadata, sdk_version added
  };

  CaptureRecorder(tvis::capture::ByteSink& sink, Options options);

  // Notifications are written; writes and link changes are not (yet) kept.
  void record(const SourceEvent& event);
  // Closes a chunk that has been open a second: call it while nothing comes.
  void poll();
  bool close();

  bool ok() const { return writer_.ok(); }  // false once a write failed
  uint64_t messages() const { return writer_.message_count(); }
  size_t insoles() const { return insoles_.size(); }

 private:
  struct Insole {
    uint16_t raw = 0, decoded = 0;
    // Frames only, strict: a frame whose CRC fails has no trustworthy
    // payload, so only the raw channel keeps it.
    tvis::protocol::MessageStream frames{{tvis::protocol::CrcPolicy::strict, false}};
  };
  Insole* insole_of(const SourceEvent& event);  // nullptr: no channel is left for it

  Options options_;
  tvis::capture::McapWriter writer_;
  uint16_t schema_ = 0;
  std::map<std::string, Insole, std::less<>> insoles_;
  uint64_t notifications_refused_ = 0;
  // The capture's clock: the last event's time plus what passed since, so
  // that a replay's old times and a live source's times age chunks alike.
  int64_t last_event_ns_ = 0;
  std::chrono::steady_clock::time_point last_event_at_{};
};

}  // namespace insole
