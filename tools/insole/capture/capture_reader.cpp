#include "insole/capture/capture_reader.h"

#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <variant>
#include <vector>

#include "insole/capture/btsnoop_log_reader.h"
#include "capture/mcap_reader.h"
#include "protocol/parser.h"

namespace insole {

namespace {

enum class Form { Mcap, Btsnoop, Raw };

constexpr size_t kBlockSize = 64 * 1024;

std::string shown(const std::string& path) { return path == "-" ? std::string("standard input") : path; }

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

// A raw capture has no magic: it is one only if an insole frame (good, or
// with a CRC that does not match) turns up in its bytes. A parser of its own
// looks, so the readers' counters never see the look.
class FrameProbe {
 public:
  bool found() const { return found_; }

  void look(std::span<const uint8_t> bytes) {
    if (found_) return;
    seen_ += bytes.size();
    for (uint8_t b : bytes)
      if (!std::isxdigit(b) && !std::isspace(b)) hex_only_ = false;
    parser_.feed_in_pieces(bytes, [this](const tvis::protocol::ParserEvent& e) {
      if (std::holds_alternative<tvis::protocol::FrameReceived>(e) ||
          std::holds_alternative<tvis::protocol::CrcMismatch>(e))
        found_ = true;
    });
    if (found_) parser_.release();
  }

  NotACapture refusal(const std::string& name) const {
    if (seen_ == 0) return NotACapture(name + ": not a capture: it is empty");
    std::string why = name + ": not a capture: no MCAP or btsnoop magic at its start and no insole frame in its " +
                      std::to_string(seen_) + " bytes";
    if (hex_only_) why += " (it holds hex text: the bytes, not their hex digits, make a capture)";
    return NotACapture(why);
  }

 private:
  tvis::protocol::InsoleStreamParser parser_;
  size_t seen_ = 0;
  bool found_ = false;
  bool hex_only_ = true;
};

// Reads a raw file up to its first frame, then rewinds it for the reader.
void probe_raw_file(std::FILE* in, const std::string& path) {
  FrameProbe probe;
  std::vector<uint8_t> block(kBlockSize);
  while (!probe.found()) {
    const size_t got = std::fread(block.data(), 1, block.size(), in);
    probe.look({block.data(), got});
    if (got < block.size()) break;
  }
  if (std::ferror(in)) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  if (!probe.found()) throw probe.refusal(path);
  if (std::fseek(in, 0, SEEK_SET) != 0) throw std::runtime_error("cannot rewind the capture");
}

struct Closer {
  std::FILE* f;
  bool owned;
  ~Closer() {
    if (owned) std::fclose(f);
  }
};

}  // namespace

void check_capture(const std::string& path) {
  if (path == "-") return;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  Closer closer{in, true};
  if (form_of(in) == Form::Raw) probe_raw_file(in, path);
}

void read_capture(const std::string& path, const std::function<void(const Notification&)>& on_notification) {
  const bool from_stdin = path == "-";
  std::FILE* in = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  Closer closer{in, !from_stdin};

  // A pipe cannot rewind: on standard input a live feed is told by its first
  // byte (0x89, which no raw capture starts with: those open with 'T'), and
  // a phone's snoop log by its 'b'.
  Form form;
  if (from_stdin) {
    const int first = std::getc(in);
    if (first == EOF) {
      if (std::ferror(in)) throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
      throw FrameProbe().refusal(shown(path));
    }
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
    if (auto read = tvis::capture::read_mcap(in, handlers); !read) throw std::runtime_error(path + ": " + read.error());
    return;
  }

  const std::string device = from_stdin ? "capture" : path;
  static const std::string kUnknown = "unknown";
  std::vector<uint8_t> block(kBlockSize);
  if (!from_stdin) {
    probe_raw_file(in, path);
    for (;;) {
      const size_t got = std::fread(block.data(), 1, block.size(), in);
      if (got > 0) on_notification(Notification{device, kUnknown, 0, {block.data(), got}});
      if (got < block.size()) break;
    }
  } else {
    // A pipe is looked at as it is read: its bytes wait until a frame shows
    // they are a capture (or, past a bound, go on while the look goes on).
    constexpr size_t kHeldAtMost = 16u << 20;
    FrameProbe probe;
    std::vector<uint8_t> held;
    for (;;) {
      const size_t got = std::fread(block.data(), 1, block.size(), in);
      const std::span<const uint8_t> bytes{block.data(), got};
      probe.look(bytes);
      if (!probe.found() && held.size() + got <= kHeldAtMost) {
        held.insert(held.end(), bytes.begin(), bytes.end());
      } else {
        if (!held.empty()) on_notification(Notification{device, kUnknown, 0, held});
        std::vector<uint8_t>().swap(held);
        if (got > 0) on_notification(Notification{device, kUnknown, 0, bytes});
      }
      if (got < block.size()) break;
    }
    if (!std::ferror(in) && !probe.found()) throw probe.refusal(shown(path));
  }
  if (std::ferror(in)) throw std::runtime_error("cannot read " + shown(path) + ": " + std::strerror(errno));
}

}  // namespace insole
