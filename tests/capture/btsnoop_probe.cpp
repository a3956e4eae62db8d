// Our snoop log reader and writer, driven from the command line for the tests
// that compare them with an independent dissector:
//   btsnoop_probe read FILE [HANDLE]   "n|c DEVICE CONNECTION TIME_US HEX" lines, warnings on stderr
//   btsnoop_probe write FILE           the same lines (TIME in ns) from standard input, as a log
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "capture/btsnoop_reader.h"
#include "capture/btsnoop_writer.h"
#include "protocol/ble_identifiers.h"
#include "hex.h"

using namespace tvis::capture;

namespace {

SnoopOptions insole() {
  SnoopOptions o;
  o.tx_uuid = *parse_uuid(tvis::protocol::INSOLE_TX_UUID);
  o.rx_uuid = *parse_uuid(tvis::protocol::INSOLE_RX_UUID);
  return o;
}

int read(const char* path, const char* handle) {
  std::FILE* in = std::fopen(path, "rb");
  if (!in) return 1;
  SnoopOptions options = insole();
  if (handle) options.tx_handle = static_cast<uint16_t>(std::strtoul(handle, nullptr, 0));
  SnoopHandlers h;
  h.packet = [](const SnoopPacket& p) {
    std::printf("%c %s %u %lld %s\n", p.kind == SnoopPacket::Kind::Notification ? 'n' : 'c', p.device.c_str(),
                p.connection, static_cast<long long>(p.unix_time_ns / 1000), hex(p.value).c_str());
  };
  h.warning = [](const std::string& w) { std::fprintf(stderr, "warning: %s\n", w.c_str()); };
  auto read = read_btsnoop(in, options, h);
  std::fclose(in);
  if (!read) std::fprintf(stderr, "error: %s\n", read.error().c_str());
  return read ? 0 : 1;
}

int write(const char* path) {
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return 1;
  FileSink sink(out);
  SnoopWriterOptions options;
  options.tx_uuid = insole().tx_uuid;
  options.rx_uuid = insole().rx_uuid;
  BtsnoopWriter writer(sink, options);
  std::map<std::string, uint16_t> connections;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::string kind, device, text;
    long long time_ns = 0;
    fields >> kind >> device >> time_ns >> text;
    std::vector<uint8_t> value;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
      value.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    auto it = connections.find(device);
    if (it == connections.end()) it = connections.emplace(device, writer.add_device(device, time_ns)).first;
    if (kind == "n")
      writer.write_notification(it->second, time_ns, value);
    else
      writer.write_command(it->second, time_ns, value);
  }
  const bool ok = writer.flush();
  return std::fclose(out) == 0 && ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "read") return read(argv[2], argc > 3 ? argv[3] : nullptr);
  if (argc == 3 && std::string(argv[1]) == "write") return write(argv[2]);
  std::fprintf(stderr, "usage: btsnoop_probe read FILE [HANDLE] | write FILE\n");
  return 2;
}
