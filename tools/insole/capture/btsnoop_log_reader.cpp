#include "insole/capture/btsnoop_log_reader.h"

#include <stdexcept>

#include "protocol/ble_identifiers.h"
#include "insole/cli/values.h"

namespace insole {

tvis::capture::SnoopOptions insole_snoop_options(std::optional<uint16_t> tx_handle) {
  tvis::capture::SnoopOptions options;
  options.tx_uuid = *tvis::capture::parse_uuid(tvis::protocol::INSOLE_TX_UUID);
  options.rx_uuid = *tvis::capture::parse_uuid(tvis::protocol::INSOLE_RX_UUID);
  options.tx_handle = tx_handle;
  return options;
}

uint16_t parse_handle(std::string_view text, std::string_view option) {
  uint32_t value = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (char ch : text.substr(2)) {
      const int d = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
      if (d < 0 || value > 0xFFFF) {
        value = 0;
        break;
      }
      value = value << 4 | static_cast<uint32_t>(d);
    }
  } else {
    try {
      value = parse_u32(text, option);
    } catch (const UsageError&) {
      value = 0;
    }
  }
  if (value == 0 || value > 0xFFFF)
    throw UsageError("invalid value '" + std::string(text) + "' for " + std::string(option) +
                     " (expected an attribute handle from 1 to 65535, decimal or 0x hex)");
  return static_cast<uint16_t>(value);
}

void read_snoop_log(std::FILE* in, const std::string& path, std::optional<uint16_t> tx_handle,
                    const std::function<void(const tvis::capture::SnoopPacket&)>& on_packet) {
  const auto options = insole_snoop_options(tx_handle);
  tvis::capture::SnoopHandlers handlers;
  handlers.packet = on_packet;
  handlers.warning = [&path](const std::string& w) {
    std::fprintf(stderr, "insole: warning: %s: %s\n", path.c_str(), w.c_str());
  };
  if (auto read = tvis::capture::read_btsnoop(in, options, handlers); !read)
    throw std::runtime_error(path + ": " + read.error());
}

}  // namespace insole
