// Recording into a Bluetooth HCI snoop log instead of an MCAP capture, so that
// the tools that open phone logs open our recordings: each device is one LE
// connection, its notifications and the commands sent to it ATT packets on
// the insole's characteristics.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace insole {

class NotificationWriter {
 public:
  virtual ~NotificationWriter() = default;
  // host_time_ns: the receive (or send) time on the host clock, Unix epoch.
  virtual void write_notification(const std::string& device, const std::string& foot, int64_t host_time_ns,
                                  std::span<const uint8_t> bytes) = 0;
  virtual void write_command(const std::string& device, int64_t host_time_ns, std::span<const uint8_t> bytes) = 0;
  // Flushes and closes the file; false when any write failed.
  virtual bool close() = 0;
};

// Opens path ("-" for standard output) for writing. Throws std::runtime_error
// when it cannot be created.
std::unique_ptr<NotificationWriter> open_btsnoop_output(const std::string& path);

}  // namespace insole
