// The insole's notifications in a phone's Bluetooth HCI snoop log, with the
// insole's characteristic UUIDs filled in for the reader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/btsnoop_reader.h"

namespace insole {

// The reader's options for the insole's GATT service; tx_handle, when given,
// replaces the discovery in the log.
tvis::capture::SnoopOptions insole_snoop_options(std::optional<uint16_t> tx_handle = std::nullopt);

// --handle: an attribute handle, decimal or 0x hex, 1 to 65535.
uint16_t parse_handle(std::string_view text, std::string_view option);

// Reads the snoop log in (named path in messages) and hands every insole
// notification to on_packet. Warnings go to standard error as "insole:
// warning: ..." lines. Throws std::runtime_error when in is no snoop log.
void read_snoop_log(std::FILE* in, const std::string& path, std::optional<uint16_t> tx_handle,
                    const std::function<void(const tvis::capture::SnoopPacket&)>& on_packet);

}  // namespace insole
