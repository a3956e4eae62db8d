// Reads the insole traffic out of a Bluetooth HCI snoop log, as phones write
// them (btsnoop version 1, HCI UART framing): ACL fragments are put back
// together per connection, L2CAP is followed to the ATT channel, and the
// notifications (and indications) of the insole's TX characteristic come out
// as notifications, the writes to its RX characteristic as commands.
//
// The characteristics are found from the GATT discovery in the log (the
// characteristic declarations of Read By Type responses, matched by UUID), or
// given by the caller when the phone had them cached and the log holds no
// discovery. One connection is one device, named by the peer address from
// its LE Connection Complete event when the log has it, "conn-0x0040" (the
// connection handle) otherwise.
//
// Memory stays bounded on any input: records beyond the largest HCI packet
// stop the reading, reassembly keeps at most one ATT PDU per connection and
// direction and drops PDUs larger than ATT allows. Every damage is a warning
// naming its file offset.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/result.h"

namespace tvis::capture {

inline constexpr uint8_t kBtsnoopMagic[8] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
inline constexpr uint32_t kBtsnoopVersion = 1;
inline constexpr uint32_t kBtsnoopDatalinkH4 = 1002;
// Microseconds from 0 AD (the log's time origin) to 1970-01-01.
inline constexpr int64_t kBtsnoopEpochDeltaUs = 0x00dcddb30f2f8000;

using Uuid128 = std::array<uint8_t, 16>;  // in the order of the text form

// "4de5a20c-0002-ae21-bf63-0242ac130002" to its 16 bytes; nullopt when the
// text is not a UUID.
std::optional<Uuid128> parse_uuid(std::string_view text);

struct SnoopOptions {
  Uuid128 tx_uuid{};  // the characteristic that notifies the host
  Uuid128 rx_uuid{};  // the characteristic that takes the host's writes
  // Value handles given by the caller; they win over discovery.
  std::optional<uint16_t> tx_handle;
  std::optional<uint16_t> rx_handle;
};

struct SnoopPacket {
  enum class Kind { Notification, Command };
  Kind kind;
  const std::string& device;       // peer address, or "conn-0x0040"
  uint16_t connection;             // HCI connection handle
  int64_t unix_time_ns;            // the record's time stamp
  uint64_t offset;                 // file offset of the record that completed it
  std::span<const uint8_t> value;  // valid during the call
};

struct SnoopHandlers {
  std::function<void(const SnoopPacket&)> packet;
  std::function<void(const std::string& warning)> warning;
};

// Reads every record of in. Fails with an error text when in is not a btsnoop
// log this reader understands; damage further on becomes warnings.
Result<void, std::string> read_btsnoop(std::FILE* in, const SnoopOptions& options, const SnoopHandlers& handlers);

// The largest record accepted: an ACL packet of the largest size HCI can
// describe, with its packet type byte.
inline constexpr uint32_t kBtsnoopMaxRecord = 1 + 4 + 0xFFFF;
// The largest ATT PDU kept for reassembly (ATT_MTU is at most 517).
inline constexpr uint32_t kMaxAttPdu = 1024;

}  // namespace tvis::capture
