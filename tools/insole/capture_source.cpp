#include "capture_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "capture/mcap_reader.h"

namespace insole {

namespace {

bool is_mcap(std::FILE* in) {
  uint8_t head[8];
  const size_t got = std::fread(head, 1, sizeof head, in);
  const bool mcap = got == 8 && std::memcmp(head, tvis::capture::kMagic, 8) == 0;
  // Put the bytes back for the real reader: seekable files rewind, standard
  // input pushes back through a fresh stream only when it is a regular file.
  if (std::fseek(in, 0, SEEK_SET) != 0) throw std::runtime_error("cannot rewind the capture");
  return mcap;
}

}  // namespace

void read_capture(const std::string& path, const std::function<void(const Notification&)>& on_notification) {
  const bool from_stdin = path == "-";
  std::FILE* in = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  struct Closer {
    std::FILE* f;
    bool owned;
    ~Closer() {
      if (owned) std::fclose(f);
    }
  } closer{in, !from_stdin};

  // A pipe cannot rewind: on standard input a live feed is told by its first
  // byte (0x89, which no raw capture starts with: those open with 'T').
  bool mcap;
  if (from_stdin) {
    const int first = std::getc(in);
    if (first == EOF) return;
    std::ungetc(first, in);
    mcap = first == tvis::capture::kMagic[0];
  } else {
    mcap = is_mcap(in);
  }

  if (mcap) {
    tvis::capture::ReadHandlers handlers;
    handlers.message = [&](const tvis::capture::Message& m) {
      // Other channels (a decoded one, say) are not notifications.
      if (m.channel.message_encoding != "insole.notification") return;
      auto device = m.channel.metadata.find("device_id");
      auto foot = m.channel.metadata.find("foot");
      static const std::string kUnknown = "unknown";
      on_notification(Notification{device != m.channel.metadata.end() ? device->second : m.channel.topic,
                                   foot != m.channel.metadata.end() ? foot->second : kUnknown,
                                   static_cast<int64_t>(m.log_time_ns), m.data});
    };
    handlers.warning = [](const std::string& w) { std::fprintf(stderr, "insole: warning: %s\n", w.c_str()); };
    if (auto error = tvis::capture::read_mcap(in, handlers)) throw std::runtime_error(path + ": " + *error);
    return;
  }

  const std::string device = from_stdin ? "capture" : path;
  static const std::string kUnknown = "unknown";
  std::vector<uint8_t> block(64 * 1024);
  for (;;) {
    const size_t got = std::fread(block.data(), 1, block.size(), in);
    if (got > 0) on_notification(Notification{device, kUnknown, 0, {block.data(), got}});
    if (got < block.size()) break;
  }
  if (std::ferror(in)) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
}

}  // namespace insole
