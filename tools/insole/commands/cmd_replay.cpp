// insole replay: a capture through the receive path at its recorded pace,
// out to JSON lines, or again as a live feed (to standard output, or to a
// tool listening on HOST:PORT).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/console/json_decoder.h"
#include "protocol/json.h"
#include "insole/sources/recorder.h"
#include "insole/sources/source_options.h"
#include "insole/console/terminal.h"

namespace insole {

namespace {

struct Options {
  std::string path;
  SourceOptions source;
  std::string to_feed;
  bool strict_crc = false;
  bool no_legacy_pressure = false;
};

std::string device_tag(const std::string& id) {
  std::string tag = "\"device\":";
  tvis::protocol::append_json_string(tag, id);
  return tag + ",";
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A connected stream to a tool listening at HOST:PORT.
std::FILE* connect_to(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) throw UsageError("--to-feed needs - or HOST:PORT, for example 127.0.0.1:7000");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  const std::string host = address.substr(0, colon);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1)
    throw UsageError("invalid address '" + host + "' for --to-feed (expected an IPv4 address such as 127.0.0.1)");
  sa.sin_port = htons(static_cast<uint16_t>(parse_u32(address.substr(colon + 1), "--to-feed")));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot connect to " + address + ": " + why);
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ::fdopen(fd, "wb");
}

int to_feed(Source& source, const Options& options) {
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* out = stdout;
  if (options.to_feed != "-") {
    owned.reset(connect_to(options.to_feed));
    out = owned.get();
  }
  std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a failed write
  tvis::capture::FileSink sink(out);
  CaptureRecorder recorder(sink, {.live = true, .decoded = false, .session = {{"source", source.describe()}}});
  bool failed = false;
  source.run([&](const SourceEvent& event) {
    recorder.record(event);
    if (!recorder.ok() && !failed) {
      failed = true;
      source.stop();
    }
  }, 0);
  if (!recorder.close() || failed) {
    if (out == stdout) return standard_output_failed(errno);
    std::fprintf(stderr, "insole: cannot write the feed to %s: %s\n",
                 options.to_feed == "-" ? "standard output" : options.to_feed.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

int to_json(Source& source, const Options& options) {
  static char out_buffer[64 * 1024];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  // One receive path per insole, as a host keeps one parser per device;
  // each line names its insole first.
  std::map<std::string, std::unique_ptr<Decoder>> decoders;
  int output_error = 0;
  source.run([&](const SourceEvent& event) {
    if (event.kind != SourceEvent::Kind::notification) return;
    auto& decoder = decoders[event.device_id];
    if (!decoder)
      decoder = std::make_unique<Decoder>(options.strict_crc, !options.no_legacy_pressure,
                                          device_tag(event.device_id));
    decoder->push(event.bytes);
    // Lines leave as their notification is replayed, so the pace shows.
    if (std::fflush(stdout) != 0 && output_error == 0) output_error = errno;
    if (std::ferror(stdout)) source.stop();
  }, 0);
  for (const auto& [device, decoder] : decoders)
    std::fprintf(stderr, "%s\n",
                 stats_json(decoder->stream(), device_tag(device)).c_str());
  return std::ferror(stdout) ? standard_output_failed(output_error) : kExitOk;
}

int run(Options options) {
  if (options.to_feed == "-" && term::stdout_is_tty())
    throw UsageError("refusing to write a binary feed to a terminal");
  options.source.replay = options.path;
  auto source = open_source(options.source);
  term::catch_interrupts();
  try {
    return options.to_feed.empty() ? to_json(*source, options) : to_feed(*source, options);
  } catch (const UsageError&) {
    throw;
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return kExitFailed;
  }
}

}  // namespace

void add_replay(CLI::App& tool) {
  CLI::App* command = add_command(
      tool, "replay", "a capture through the receive path at its recorded pace",
      {.usage = "insole replay FILE [--speed X | --fast] [--seek S] [--max-gap S] [--to-feed -|HOST:PORT]",
       .about = "Hands the notifications of FILE (an MCAP capture, or a raw one) to the\n"
                "SDK's receive path, one parser per insole, at the pace they were received\n"
                "(by their log times; --speed X runs X times as fast, --fast as fast as it\n"
                "reads, --seek S starts S seconds in; a gap in the log times is waited out\n"
                "for at most 5 seconds, --max-gap S, with a warning). Every message comes out as one JSON\n"
                "line in the rendering of `insole decode`, with the insole's id first\n"
                "(\"device\"); the statistics of each insole follow on standard error.\n"
                "\n"
                "--to-feed re-emits the notifications as a live feed instead, with their\n"
                "original receive times: to standard output (-), or to a tool listening on\n"
                "HOST:PORT (`insole record FILE.mcap --feed HOST:PORT`).\n"
                "A raw capture has no times and replays as fast as it reads.",
       .notes = "Exit status: 0 when the capture was replayed (or Ctrl-C), 1 when it cannot\n"
                "be read or the output cannot be written, 2 for bad arguments."});
  auto o = std::make_shared<Options>();
  add_arguments(command, "FILE", o->path, "the capture to replay (- for standard input)")->required();
  add_value(command, "--speed", o->source.speed, parse_speed, "X", "replay X times as fast (default 1)");
  command->add_flag("--fast", o->source.fast, "replay as fast as the capture reads");
  add_value(command, "--seek", o->source.seek_seconds, parse_seek, "S", "start S seconds into the capture");
  add_max_gap_option(command, o->source);
  add_text(command, "--to-feed", o->to_feed, "-|HOST:PORT", "re-emit as a live feed instead of JSON lines");
  command->add_flag("--strict-crc", o->strict_crc, "drop frames whose CRC does not match");
  command->add_flag("--no-legacy-pressure", o->no_legacy_pressure, "do not fill an empty pressure list from rawPressure");
  on_run(command, [o] { return run(*o); });
}

}  // namespace insole
