// What the subscriber does with one message from the broker, with no broker
// in sight: the topic names the insole (insoles/<host>/<device>/<kind>), the
// user properties carry the bridge's run id, message number and receive time,
// the payload is one frame. Each insole gets a capture, <host>/<device>.mcap
// under the capture folder, copies are left out (MessageNumbers), and what
// cannot be written is counted, never the end of the run.
//
// Everything it keeps has a bound:
// - kMaxInsoles insoles per run. Messages of insoles past that are dropped
//   and counted, with one warning.
// - at most max_open captures open at once; past that the one written least
//   recently is closed (its summary written), and when its insole sends
//   again it goes on in a new file, <device>+2.mcap, +3, ... (never over a
//   file). Each open capture holds one chunk in memory: at most 64 KiB
//   plus one message.
// - per insole: its two names (at most 201 bytes each) and MessageNumbers
//   (at most 4 runs of about 780 bytes): about 4 KiB at most.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/mcap_writer.h"
#include "insole/bridge/bridge_capture_files.h"
#include "insole/bridge/bridge_dedup.h"

namespace insole {

// The latencies a run keeps for its percentiles: every one up to kKept, then
// a uniform sample of all of them (reservoir sampling), so a long run costs
// a fixed 512 KiB and not 8 bytes per message.
class LatencySample {
 public:
  static constexpr size_t kKept = 65536;
  void add(int64_t latency_ns);
  // Sorted; the sample, not every latency, past kKept.
  std::vector<int64_t> sorted() const;
  bool empty() const { return kept_.empty(); }

 private:
  std::vector<int64_t> kept_;
  uint64_t seen_ = 0;
  uint64_t state_ = 0x9E3779B97F4A7C15u;  // a fixed seed: the same run gives the same line
};

struct SubscribeOutcome {
  uint64_t written = 0;
  uint64_t duplicates = 0;
  uint64_t not_frames = 0;  // JSON payloads: a capture holds frames
  uint64_t malformed = 0;   // a message number, time or run id that is not one
  uint64_t dropped = 0;     // of insoles whose capture could not be made or written, or past kMaxInsoles
  uint64_t past_bound = 0;  // of dropped: of insoles past kMaxInsoles
  size_t insoles = 0;
  size_t parts = 0;         // captures started again after being closed to free a descriptor
  LatencySample latencies_ns;  // receive time at the bridge to arrival here
  std::string error;                  // a capture that could not be written
};

struct UserProperty {
  std::string_view key, value;
};

class CaptureIntake {
 public:
  static constexpr size_t kMaxInsoles = 4096;
  static constexpr uint64_t kChunkBytes = 64 << 10;
  // After its capture could not be made or written (a full disk), an insole's
  // messages are dropped this long before a new part is tried: never a new
  // file per message.
  static constexpr uint64_t kRetryNs = 1'000'000'000;

  CaptureIntake(CaptureFiles& files, size_t max_open);
  ~CaptureIntake();
  CaptureIntake(const CaptureIntake&) = delete;
  CaptureIntake& operator=(const CaptureIntake&) = delete;

  // One message as the broker delivered it, received at now_ns (wall clock).
  void take(std::string_view topic, std::span<const UserProperty> properties, std::span<const uint8_t> payload,
            bool retained, int64_t now_ns);
  // Closes the chunks that have waited long enough.
  void poll(uint64_t now_ns);
  // Closes every capture; the outcome is final.
  const SubscribeOutcome& finish();

  size_t open_captures() const { return open_.size(); }
  const SubscribeOutcome& outcome() const { return outcome_; }

 private:
  struct Insole {
    std::string host_name, device_name;  // capture_name of the two levels
    MessageNumbers numbers;
    uint32_t next_part = 1;  // the +N to try first
    bool warned = false;     // its capture could not be made: said once
    uint32_t opened = 0;     // captures made for it in this run
    bool failing = false;    // its capture could not be made or written at failed_at_ns
    int64_t failed_at_ns = 0;
    // While open:
    std::unique_ptr<CaptureFile> file;
    std::unique_ptr<tvis::capture::McapWriter> writer;
    uint16_t channel = 0;
    std::list<Insole*>::iterator in_open;
  };

  Insole* insole_of(std::string_view host, std::string_view device);
  bool open(Insole& insole, std::string_view host, std::string_view device_id, std::string_view foot);
  void close(Insole& insole);

  CaptureFiles& files_;
  size_t max_open_;
  std::unordered_map<std::string, Insole> insoles_;  // by host_name + '/' + device_name
  std::list<Insole*> open_;                          // most recently written first
  SubscribeOutcome outcome_;
  bool warned_bound_ = false;
};

}  // namespace insole
