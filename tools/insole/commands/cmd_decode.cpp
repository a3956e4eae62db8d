// insole decode: a captured byte stream to JSON lines, with statistics.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "insole/capture/btsnoop_log_reader.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/hex_text.h"
#include "insole/console/json_decoder.h"
#include "insole/console/terminal.h"
#include "insole/capture/capture_reader.h"

namespace insole {

namespace {

// Input is read and decoded a block at a time, so memory stays flat however
// long the capture is.
constexpr size_t kBlockSize = 64 * 1024;

struct Options {
  std::string path = "-";
  bool strict_crc = false;
  bool no_legacy_pressure = false;
  bool hex = false;
  std::string btsnoop;              // a phone's Bluetooth log instead of a raw capture
  std::optional<uint16_t> handle;  // the TX value handle, when the log has no discovery
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A capture or a snoop log holds the notifications of several devices: each
// has its own stream, as each had its own receiver, and its own statistics
// line, in the order the devices first appear.
class DecoderPerDevice {
 public:
  explicit DecoderPerDevice(const Options& options) : options_(options) {}

  Decoder& of(const std::string& device) {
    Decoder*& decoder = by_device_[device];
    if (decoder == nullptr) decoder = add();
    return *decoder;
  }

  void print_stats() {
    if (decoders_.empty()) add();
    for (const auto& decoder : decoders_) std::fprintf(stderr, "%s\n", stats_json(decoder->stream()).c_str());
  }

 private:
  Decoder* add() {
    decoders_.push_back(std::make_unique<Decoder>(options_.strict_crc, !options_.no_legacy_pressure));
    return decoders_.back().get();
  }

  const Options& options_;
  std::vector<std::unique_ptr<Decoder>> decoders_;
  std::map<std::string, Decoder*> by_device_;
};

// What every road ends with: the decoded lines out, then the statistics,
// which only a capture read to its end has.
int finish(DecoderPerDevice& decoders, int status) {
  std::fflush(stdout);
  if (status == kExitOk) decoders.print_stats();
  return status;
}

int run_snoop(const Options& options) {
  if (options.path != "-") throw UsageError("give either FILE or --btsnoop LOG, not both");
  if (options.hex) throw UsageError("--hex does not apply to a --btsnoop log");
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(options.btsnoop.c_str(), "rb"));
  if (!in) {
    std::fprintf(stderr, "insole: cannot read %s: %s\n", options.btsnoop.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  static char out_buffer[kBlockSize];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

  DecoderPerDevice decoders(options);
  int status = kExitOk;
  try {
    read_snoop_log(in.get(), options.btsnoop, options.handle, [&](const tvis::capture::SnoopPacket& p) {
      if (p.kind != tvis::capture::SnoopPacket::Kind::Notification || std::ferror(stdout)) return;
      decoders.of(p.device).push(p.value);  // one notification as received
    });
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    status = kExitFailed;
  }
  return finish(decoders, status);
}

struct OutputEnded {};  // thrown through the capture reader: the rest would be decoded into the void

// Any capture, told by its content as export and replay tell it: an MCAP
// capture or live feed, a snoop log, or a raw byte stream (read a block at a
// time, so memory stays flat however long the capture is).
int run_capture(const Options& options) {
  if (options.path == "-" && term::stdin_is_tty())
    throw UsageError("no input: give a capture FILE, or pipe the bytes to standard input");
  static char out_buffer[kBlockSize];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  DecoderPerDevice decoders(options);
  int status = kExitOk;
  try {
    read_capture(options.path, [&](const Notification& n) {
      decoders.of(n.device_id).push_in_pieces(n.bytes);
      if (std::ferror(stdout)) throw OutputEnded{};
    });
  } catch (const OutputEnded&) {
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    status = kExitFailed;
  }
  return finish(decoders, status);
}

int run(const Options& options) {
  if (!options.btsnoop.empty()) return run_snoop(options);
  if (options.handle) throw UsageError("--handle applies to a --btsnoop log only");
  if (!options.hex) return run_capture(options);
  // Hex text: the digits of one insole's raw byte stream.
  const std::string& path = options.path;

  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* in = stdin;
  if (path == "-") {
    if (term::stdin_is_tty())
      throw UsageError("no input: give a capture FILE, or pipe the bytes to standard input");
  } else {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned) {
      std::fprintf(stderr, "insole: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
      return kExitFailed;
    }
    in = owned.get();
  }
  const std::string name = path == "-" ? std::string("standard input") : path;

  static char out_buffer[kBlockSize];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

  Decoder decoder(options.strict_crc, !options.no_legacy_pressure);
  HexReader hex_reader;
  std::vector<uint8_t> block(kBlockSize);
  std::vector<uint8_t> bytes;
  int status = kExitOk;
  for (;;) {
    const size_t n = std::fread(block.data(), 1, block.size(), in);
    if (n > 0) {
      bytes.clear();
      auto bad = hex_reader.feed({reinterpret_cast<const char*>(block.data()), n}, bytes);
      decoder.push_in_pieces(bytes);
      if (bad) {
        std::fprintf(stderr, "insole: %s: %s\n", name.c_str(), bad->c_str());
        status = kExitFailed;
        break;
      }
    }
    // Output that cannot be written ends the run (reported on exit); the
    // rest of a long capture would only be decoded into the void.
    if (std::ferror(stdout)) break;
    if (n < block.size()) {
      if (std::ferror(in)) {
        std::fprintf(stderr, "insole: cannot read %s: %s\n", name.c_str(), std::strerror(errno));
        status = kExitFailed;
      }
      break;
    }
  }
  if (status == kExitOk && hex_reader.dangling()) {
    std::fprintf(stderr, "insole: %s: odd number of hex digits, the last one is ignored\n", name.c_str());
    status = kExitFailed;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", stats_json(decoder.stream()).c_str());
  return status;
}

}  // namespace

void add_decode(CLI::App& tool) {
  CLI::App* decode = add_command(
      tool, "decode", "a captured byte stream to JSON lines, statistics on stderr",
      {.usage = "insole decode [FILE|-] [--strict-crc] [--no-legacy-pressure] [--hex]\n"
                "       insole decode --btsnoop LOG [--handle N] [--strict-crc] [--no-legacy-pressure]",
       .about = "Reads a capture from FILE or standard input and prints every message as\n"
                "one JSON line on standard output, in the rendering of the Python\n"
                "StreamParser. The capture is told by its content: an MCAP capture or live\n"
                "feed (`insole record`), a phone's Bluetooth HCI snoop log, or the raw bytes\n"
                "an insole sent (the .bin form; with --hex, those bytes as hex text). Each\n"
                "insole of a capture has its own parser. The input is read in blocks, so\n"
                "captures of any size stream through in constant memory.\n"
                "\n"
                "At the end the statistics go to standard error as one JSON object with the\n"
                "keys of StreamParser.stats(): frames_received, crc_errors, protobuf_errors,\n"
                "dropped_bytes, buffer_overflows, packets_lost, sequence_discontinuities,\n"
                "last_seq, buffered_bytes. A frame that does not decode is reported on\n"
                "standard error as one line (\"insole: frame N: ...\") and decoding goes on.\n"
                "A capture of several insoles gives one statistics line per insole, in the\n"
                "order they first appear.\n"
                "\n"
                "--btsnoop LOG reads the insole notifications out of a phone's Bluetooth\n"
                "HCI snoop log (btsnoop version 1, HCI UART) instead. The characteristic\n"
                "is found from the GATT discovery in the log, or given with --handle. Each\n"
                "connection is one device with its own stream and its own statistics line.",
       .notes = "Exit status: 0 when the whole input was read (decode errors included),\n"
                "1 when it cannot be read, is no capture (no MCAP or btsnoop magic and no\n"
                "insole frame in it), is not hex text with --hex, or the output cannot be\n"
                "written; 2 for bad arguments."});
  auto options = std::make_shared<Options>();
  add_arguments(decode, "FILE", options->path, "the capture (- or none: standard input)");
  decode->add_flag("--hex", options->hex, "the input is hex text; whitespace is ignored");
  decode->add_flag("--strict-crc", options->strict_crc,
                   "drop frames whose CRC does not match (default:\ncount them and decode them anyway)");
  decode->add_flag("--no-legacy-pressure", options->no_legacy_pressure,
                   "do not fill an empty pressure list from rawPressure");
  add_text(decode, "--btsnoop", options->btsnoop, "LOG", "a Bluetooth HCI snoop log to read instead of FILE");
  add_value(decode, "--handle", options->handle, parse_handle, "N",
            "the value handle of the insole's notifications in the\nlog (default: found from the GATT discovery)");
  on_run(decode, [options] { return run(*options); });
}

}  // namespace insole
