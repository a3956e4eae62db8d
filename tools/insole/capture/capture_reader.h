// The notifications of a capture, whatever its form: an MCAP capture (a file,
// or a live feed on standard input) with one channel per insole and the host's
// receive times, a phone's Bluetooth HCI snoop log (btsnoop: one device per
// connection, the log's time stamps), or a raw byte capture of one insole
// (the older .bin form, which has neither times nor identity).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace insole {

struct Notification {
  const std::string& device_id;
  const std::string& foot;  // "left", "right" or "unknown"
  int64_t host_time_ns;     // receive time; 0 in a raw capture
  std::span<const uint8_t> bytes;
};

// Input that is no capture of any kind: neither an MCAP nor a btsnoop magic
// at its start, nor one insole frame in its bytes. what() names the input
// and says why, in one line.
struct NotACapture : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Refuses, before any work starts, a file that read_capture would refuse:
// throws NotACapture, or std::runtime_error when it cannot be read. Standard
// input ("-") cannot be looked at twice and is checked as it is read.
void check_capture(const std::string& path);

// Reads every notification of path ("-" for standard input) in capture order.
// Warnings about damage go to standard error as "insole: warning: ..." lines.
// Throws std::runtime_error for unreadable input, NotACapture for input that
// is no capture (raw bytes go to on_notification only once a frame is seen).
void read_capture(const std::string& path, const std::function<void(const Notification&)>& on_notification);

}  // namespace insole
