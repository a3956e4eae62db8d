// Where live insole data comes from, for the commands that show, record,
// replay or forward it: mock insoles, virtual insoles, a capture replayed at
// its recorded pace, or the live feed of a host. Every source hands out the
// notifications as they arrive, stamped with the host's receive time, so
// that a consumer (a recorder, the browser view, the MQTT bridge) never
// needs to know which one it has.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/gait.h"

namespace insole {

// What one source option set chose. At most one kind may be given; with
// none, the command's default applies (two mock insoles, left and right).
struct SourceOptions {
  std::vector<std::string> mock;           // --mock ID (repeatable)
  std::vector<std::string> virtual_feet;   // --virtual left|right (repeatable)
  std::string gait;                        // --gait G for the virtual insoles (empty: walking)
  std::string replay;                      // --replay FILE (an MCAP capture or an old raw capture)
  double speed = 1.0;                      // --speed X: replay pace
  bool fast = false;                       // --fast: replay as fast as it can be read
  double seek_seconds = 0;                 // --seek S: replay from S seconds into the capture
  std::string feed;                        // --feed - | HOST:PORT: a live feed on stdin, or listened for
};

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

// Adds --mock, --virtual, --gait, --replay, --speed, --fast, --seek and --feed to command.
void add_source_options(CLI::App* command, SourceOptions& options);

// The source the options chose. Throws UsageError for options that do not
// go together (two kinds, --speed without --replay, ...).
std::unique_ptr<Source> open_source(const SourceOptions& options);

// Mock insoles made on the tool's own clock: one frame per insole every
// 20 ms, the SDK mock stream's frames (the profile follows the id).
std::unique_ptr<Source> open_mock_source(const std::vector<std::string>& ids);

// Virtual insoles, one per foot given ("left" or "right"), streaming at 50 Hz
// while their walker does `activity`; ids are the foot names ("left",
// "right", then "left-2", ...). Each has an identity of its own (serial, MAC),
// and the k-th left and the k-th right are one walker's pair.
std::unique_ptr<Source> open_virtual_source(const std::vector<std::string>& feet,
                                            tvis::sim::Activity activity = tvis::sim::Activity::Walking);

// The value of --gait: idle, standing, walking or running.
tvis::sim::Activity parse_gait(std::string_view text);

// A capture (MCAP or raw) at speed times its recorded pace, or as fast as it
// reads, from seek_seconds after its first message.
std::unique_ptr<Source> open_replay_source(const std::string& path, double speed, bool fast, double seek_seconds);

// A live feed on standard input ("-") or from hosts connecting to HOST:PORT
// (listened on at once; the port, chosen when 0, is told on standard error).
std::unique_ptr<Source> open_feed_source(const std::string& where);

// Asks the insole that sent `first` for its device information, where the
// source takes writes (virtual insoles); mock insoles, replays and feeds take
// none and tell only what their stream carries. Call it from the sink, once
// per insole.
void ask_device_info(Source& source, const SourceEvent& first);

// Whether options name a source at all (any of the kinds above).
bool source_chosen(const SourceOptions& options);

// The values of --speed (a factor from 0.01 to 1000) and --seek (seconds, 0 or more).
double parse_speed(std::string_view text, std::string_view option);
double parse_seek(std::string_view text, std::string_view option);

// The system clock in ns since the Unix epoch, as host_time_ns counts.
int64_t system_now_ns();

}  // namespace insole
