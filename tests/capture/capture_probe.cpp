// Our capture reader and writer, driven from the command line for the tests
// that compare them with the reference implementation:
//   capture_probe read FILE                   messages as JSON lines, warnings on stderr
//   capture_probe write FILE [--live]         a fixed sample capture
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/mcap_reader.h"
#include "capture/mcap_writer.h"
#include "hex.h"

using namespace tvis::capture;

namespace {

int read(const char* path) {
  std::FILE* in = std::fopen(path, "rb");
  if (!in) return 1;
  ReadHandlers h;
  h.message = [](const Message& m) {
    std::printf("{\"topic\":\"%s\",\"sequence\":%u,\"log_time\":\"%llu\",\"publish_time\":\"%llu\",\"data\":\"%s\"}\n",
                m.channel.topic.c_str(), m.sequence, static_cast<unsigned long long>(m.log_time_ns),
                static_cast<unsigned long long>(m.publish_time_ns), hex(m.data).c_str());
  };
  h.metadata = [](const std::string& name, const StringMap& map) {
    std::printf("{\"metadata\":\"%s\"", name.c_str());
    for (const auto& [k, v] : map) std::printf(",\"%s\":\"%s\"", k.c_str(), v.c_str());
    std::printf("}\n");
  };
  h.warning = [](const std::string& w) { std::fprintf(stderr, "warning: %s\n", w.c_str()); };
  auto read = read_mcap(in, h);
  std::fclose(in);
  if (!read) std::fprintf(stderr, "error: %s\n", read.error().c_str());
  return read ? 0 : 1;
}

int write(const char* path, bool live) {
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return 1;
  FileSink sink(out);
  WriterOptions options;
  options.live = live;
  options.chunk_max_bytes = 200;
  McapWriter w(sink, options);
  const uint8_t schema_bytes[] = {1, 2, 3};
  const uint16_t schema = w.add_schema("Example", "protobuf", schema_bytes);
  const uint16_t left = w.add_channel(0, "/insole/left/raw", "insole.notification", {{"foot", "left"}});
  const uint16_t right = w.add_channel(schema, "/insole/right/decoded", "protobuf", {{"foot", "right"}});
  w.add_metadata("session", {{"k", "v"}, {"sdk_version", "x"}});
  for (uint64_t i = 0; i < 40; ++i) {
    std::vector<uint8_t> data(1 + i % 7, static_cast<uint8_t>(i));
    w.write_message(i % 3 ? left : right, i * 100'000'000, i, data);
  }
  const bool ok = w.close();
  return std::fclose(out) == 0 && ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "read") == 0) return read(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "write") == 0) return write(argv[2], argc > 3 && std::strcmp(argv[3], "--live") == 0);
  std::fprintf(stderr, "usage: capture_probe read|write FILE [--live]\n");
  return 2;
}
