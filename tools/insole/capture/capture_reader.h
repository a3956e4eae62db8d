// The notifications of a capture, whatever its form: an MCAP capture (a file,
// or a live feed on standard input) with one channel per insole and the host's
// receive times, a phone's Bluetooth HCI snoop log (btsnoop: one device per
// connection, the log's time stamps), or a raw byte capture of one insole
// (the older .bin form, which has neither times nor identity).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace insole {

struct Notification {
  const std::string& device_id;
  const std::string& foot;  // "left", "right" or "unknown"
  int64_t host_time_ns;     // receive time; 0 in a raw capture
  std::span<const uint8_t> bytes;
};

// Reads every notification of path ("-" for standard input) in capture order.
// Warnings about damage go to standard error as "insole: warning: ..." lines.
// Throws std::runtime_error for unreadable input.
void read_capture(const std::string& path, const std::function<void(const Notification&)>& on_notification);

}  // namespace insole
