#include "insole/capture/capture_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "insole/capture/btsnoop_log_reader.h"
#include "capture/mcap_reader.h"

namespace insole {

namespace {

enum class Form { Mcap, Btsnoop, Raw };

Form form_of(std::FILE* in) {
  uint8_t head[8];
  const size_t got = std::fread(head, 1, sizeof head, in);
  Form form = Form::Raw;
  if (got == 8 && std::memcmp(head, tvis::capture::kMagic, 8) == 0) form = Form::Mcap;
  if (got == 8 && std::memcmp(head, tvis::capture::kBtsnoopMagic, 8) == 0) form = Form::Btsnoop;
  // Put the bytes back for the real reader: seekable files rewind, standard
  // input pushes back through a fresh stream only when it is a regular file.
  if (std::fseek(in, 0, SEEK_SET) != 0) throw std::runtime_error("cannot rewind the capture");
  return form;
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
  // byte (0x89, which no raw capture starts with: those open with 'T'), and
  // a phone's snoop log by its 'b'.
  Form form;
  if (from_stdin) {
    const int first = std::getc(in);
    if (first == EOF) return;
    std::ungetc(first, in);
    form = first == tvis::capture::kMagic[0]          ? Form::Mcap
           : first == tvis::capture::kBtsnoopMagic[0] ? Form::Btsnoop
                                                      : Form::Raw;
  } else {
    form = form_of(in);
  }

  if (form == Form::Btsnoop) {
    static const std::string kUnknown = "unknown";
    read_snoop_log(in, from_stdin ? std::string("standard input") : path, std::nullopt,
                   [&](const tvis::capture::SnoopPacket& p) {
                     if (p.kind == tvis::capture::SnoopPacket::Kind::Notification)
                       on_notification(Notification{p.device, kUnknown, p.unix_time_ns, p.value});
                   });
    return;
  }

  if (form == Form::Mcap) {
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
