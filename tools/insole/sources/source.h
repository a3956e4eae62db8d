// Where live insole data comes from, for the commands that show, record,
// replay or forward it: mock insoles, virtual insoles, a capture replayed at
// its recorded pace, or the live feed of a host. Every source hands out the
// notifications as they arrive, stamped with the host's receive time, so
// that a consumer (a recorder, the browser view, the MQTT bridge) never
// needs to know which one it has.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/gait.h"

namespace insole {

// What a source hands out. The references are valid during the call only.
struct SourceEvent {
  enum class Kind {
    notification,  // bytes the insole sent (a BLE notification)
    write,         // bytes the host wrote to the insole (a command)
    link,          // the insole's link changed: bytes empty, `connected` tells
  };
  Kind kind;
  const std::string& device_id;
  const std::string& foot;  // "left", "right" or "unknown"
  int64_t host_time_ns;     // receive time, ns since the Unix epoch (the system clock)
  std::span<const uint8_t> bytes;
  bool connected = true;
};

using SourceSink = std::function<void(const SourceEvent&)>;

class Source {
 public:
  virtual ~Source() = default;

  // One line for people: "2 mock insoles", "replay of walk.mcap at 1x".
  virtual std::string describe() const = 0;

  // Hands out events until the source ends (a replay reaches its end, a feed
  // closes), stop() is called, `seconds` pass (0: no limit) or Ctrl-C
  // (term::interrupted()). The sink runs on one thread at a time, never with
  // a lock of the source held, so it may call write() or stop(). Throws
  // std::runtime_error with a one-line text for input that cannot be read.
  virtual void run(const SourceSink& sink, double seconds) = 0;

  // From any thread, also from inside the sink: run() returns soon after.
  virtual void stop() = 0;

  // The host's write to an insole (a command frame). False where the source
  // cannot take writes (mock insoles, replays, feeds) or knows no such insole.
  virtual bool write(const std::string& device_id, std::span<const uint8_t> bytes);
};

// Mock insoles made on the tool's own clock: one frame per insole every
// 20 ms, the SDK mock stream's frames (the profile follows the id).
std::unique_ptr<Source> open_mock_source(const std::vector<std::string>& ids);

// Virtual insoles, one per foot given ("left" or "right"), streaming at 50 Hz
// while their walker does `activity`; ids are the foot names ("left",
// "right", then "left-2", ...). Each has an identity of its own (serial, MAC),
// and the k-th left and the k-th right are one walker's pair.
std::unique_ptr<Source> open_virtual_source(const std::vector<std::string>& feet,
                                            tvis::sim::Activity activity = tvis::sim::Activity::Walking);

// A capture (MCAP or raw) at speed times its recorded pace, or as fast as it
// reads, from seek_seconds after its first message.
// Each wait on a gap between log times is cut to max_gap_seconds (of replay
// time), with one warning naming the gap.
std::unique_ptr<Source> open_replay_source(const std::string& path, double speed, bool fast, double seek_seconds,
                                           double max_gap_seconds = 5.0);

// A live feed on standard input ("-") or from hosts connecting to HOST:PORT
// (listened on at once; the port, chosen when 0, is told on standard error).
// A host that sends no byte for idle_seconds is let go with one warning, so
// that the next one can connect; standard input is never timed out.
std::unique_ptr<Source> open_feed_source(const std::string& where, double idle_seconds = 10.0);

}  // namespace insole
