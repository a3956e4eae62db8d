// Phone Bluetooth logs come from anywhere: any bytes must read without a
// crash, a hang or memory growing past one record and one ATT packet per
// connection. Each input is read as it is and behind a valid file header (so
// that the fuzzer spends its time on records), with the characteristic found
// by discovery and given by hand.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/btsnoop_reader.h"
#include "protocol/ble_identifiers.h"

namespace {

size_t read_all(const uint8_t* data, size_t size, bool given_handle) {
  std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  tvis::capture::SnoopOptions options;
  options.tx_uuid = *tvis::capture::parse_uuid(tvis::protocol::INSOLE_TX_UUID);
  options.rx_uuid = *tvis::capture::parse_uuid(tvis::protocol::INSOLE_RX_UUID);
  if (given_handle) options.tx_handle = options.rx_handle = 0x0012;
  size_t seen = 0;
  tvis::capture::SnoopHandlers handlers;
  handlers.packet = [&](const tvis::capture::SnoopPacket& p) { seen += p.value.size(); };
  handlers.warning = [](const std::string&) {};
  (void)tvis::capture::read_btsnoop(in, options, handlers);
  std::fclose(in);
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A value can only be made of input bytes.
  if (read_all(data, size, false) > size) __builtin_trap();
  std::vector<uint8_t> framed = {'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1, 0, 0, 0x03, 0xEA};
  framed.insert(framed.end(), data, data + size);
  if (read_all(framed.data(), framed.size(), size % 2 == 1) > size) __builtin_trap();
  return 0;
}
