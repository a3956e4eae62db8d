// Writes insole traffic as a Bluetooth HCI snoop log (btsnoop version 1, HCI
// UART framing), so that the tools that open phone logs open our captures.
//
// Each device gets its own LE connection, opened by a LE Connection Complete
// event and a GATT discovery answer naming the insole's TX and RX
// characteristics (by UUID, at fixed value handles), so that a reader finds
// them as it would in a phone's log. Notifications then go as received ACL
// packets carrying ATT Handle Value Notifications, commands as sent ACL
// packets carrying ATT Write Commands, fragmented to the ACL buffer size.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/btsnoop_reader.h"
#include "capture/mcap_writer.h"

namespace tvis::capture {

struct SnoopWriterOptions {
  Uuid128 tx_uuid{};
  Uuid128 rx_uuid{};
  uint16_t acl_mtu = 251;  // the LE data length most phones negotiate
};

// Value handles of the characteristics in the discovery we write.
inline constexpr uint16_t kSnoopTxHandle = 0x0012;
inline constexpr uint16_t kSnoopRxHandle = 0x0015;
// ATT carries at most this many value bytes per notification or write; a
// larger piece of data goes out as several, in order.
inline constexpr size_t kSnoopMaxValue = 512;

class BtsnoopWriter {
 public:
  // Writes the file header at once.
  BtsnoopWriter(ByteSink& sink, SnoopWriterOptions options);
  BtsnoopWriter(const BtsnoopWriter&) = delete;
  BtsnoopWriter& operator=(const BtsnoopWriter&) = delete;

  // Opens a connection for a device and returns its connection handle.
  // A device id written as a Bluetooth address ("AA:BB:CC:DD:EE:FF") becomes
  // the peer address; any other id gets a made-up random static address.
  uint16_t add_device(const std::string& device_id, int64_t unix_time_ns);

  void write_notification(uint16_t connection, int64_t unix_time_ns, std::span<const uint8_t> value);
  void write_command(uint16_t connection, int64_t unix_time_ns, std::span<const uint8_t> value);

  bool flush() { return ok_ = sink_.flush() && ok_; }
  bool ok() const { return ok_; }

 private:
  void record(uint32_t flags, int64_t unix_time_ns, std::span<const uint8_t> packet);
  void l2cap(uint16_t connection, bool received, int64_t unix_time_ns, std::span<const uint8_t> att);
  void att_value(uint16_t connection, bool received, uint8_t opcode, uint16_t handle, int64_t unix_time_ns,
                 std::span<const uint8_t> value);

  ByteSink& sink_;
  SnoopWriterOptions options_;
  uint16_t next_connection_ = 0x0040;
  std::vector<uint8_t> scratch_;
  bool ok_ = true;
};

}  // namespace tvis::capture
