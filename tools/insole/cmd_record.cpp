// insole record: a capture file of what a mock insole sends.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "btsnoop_output.h"
#include "capture/mcap_writer.h"
#include "commands.h"
#include "mock_frames.h"
#include "terminal.h"
#include "version.h"

namespace insole {

namespace {

constexpr double kDefaultSeconds = 5;

struct Options {
  std::string path;
  std::string id = "left";
  double seconds = kDefaultSeconds;
  bool btsnoop = false;
};

// The same frames and times as an MCAP capture, as a phone's Bluetooth log.
int write_snoop_capture(const std::string& path, const std::string& id, const tvis::mock::FootProfile& profile,
                        uint32_t frames) {
  if (path == "-" && term::stdout_is_tty()) throw UsageError("refusing to write a binary capture to a terminal");
  std::unique_ptr<NotificationWriter> out;
  try {
    out = open_btsnoop_output(path);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return kExitFailed;
  }
  const char* foot = profile.device_id == 3 ? "right" : "left";
  const auto start =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::vector<uint8_t> frame;
  for (uint32_t n = 1; n <= frames; ++n) {
    frame.clear();
    append_mock_frame(profile, n, frame);
    out->write_notification(id, foot, start + int64_t{n - 1} * 20'000'000, frame);
  }
  if (!out->close()) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", path == "-" ? "standard output" : path.c_str(),
                 std::strerror(errno));
    return kExitFailed;
  }
  if (path != "-") std::printf("recorded %u frames of a %s insole to %s\n", frames, foot, path.c_str());
  return kExitOk;
}

// A capture in the MCAP container: one channel for the insole, each frame
// stamped with the host time it would have arrived at, 20 ms apart from now.
uint64_t write_mcap_capture(std::FILE* out, const std::string& id, const tvis::mock::FootProfile& profile,
                            uint32_t frames) {
  tvis::capture::FileSink sink(out);
  tvis::capture::McapWriter writer(sink, {});
  writer.add_metadata("session", {{"sdk_version", tvis::kVersion}, {"source", "mock insole"}});
  const char* foot = profile.device_id == 3 ? "right" : "left";
  const uint16_t channel = writer.add_channel(0, "/insole/" + id + "/notifications", "insole.notification",
                                              {{"device_id", id}, {"foot", foot}});
  const auto start = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  std::vector<uint8_t> frame;
  for (uint32_t n = 1; n <= frames; ++n) {
    frame.clear();
    append_mock_frame(profile, n, frame);
    const uint64_t at = start + uint64_t{n - 1} * 20'000'000;
    writer.write_message(channel, at, at, frame);
  }
  writer.close();
  return static_cast<uint64_t>(std::ftell(out));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int run(const Options& options) {
  const std::string& path = options.path;
  const std::string& id = options.id;
  if (id.empty()) throw UsageError("--device needs a non-empty id");
  const auto frames = static_cast<uint32_t>(std::llround(options.seconds * kMockFramesPerSecond));
  if (options.btsnoop) return write_snoop_capture(path, id, tvis::mock::profile_for(id), frames);

  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* out = stdout;
  if (path == "-") {
    if (term::stdout_is_tty()) throw UsageError("refusing to write a binary capture to a terminal");
  } else {
    owned.reset(std::fopen(path.c_str(), "wb"));
    if (!owned) {
      std::fprintf(stderr, "insole: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      return kExitFailed;
    }
    out = owned.get();
  }

  const tvis::mock::FootProfile& profile = tvis::mock::profile_for(id);
  const bool as_mcap = path.size() > 5 && path.compare(path.size() - 5, 5, ".mcap") == 0;
  std::vector<uint8_t> chunk;
  uint64_t total = 0;
  if (as_mcap) {
    total = write_mcap_capture(out, id, profile, frames);
  } else {
    for (uint32_t n = 1; n <= frames; ++n) {
      append_mock_frame(profile, n, chunk);
      if (chunk.size() >= 64 * 1024 || n == frames) {
        if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) break;
        total += chunk.size();
        chunk.clear();
      }
    }
  }
  // Standard output is checked, and reported, when the tool exits.
  if (!owned) return kExitOk;
  const bool failed = std::fflush(out) != 0 || std::ferror(out) || std::fclose(owned.release()) != 0;
  if (failed) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  std::printf("recorded %u frames (%llu bytes) of a %s insole to %s\n", frames, static_cast<unsigned long long>(total),
              profile.device_id == 3 ? "right" : "left", path.c_str());
  return kExitOk;
}

}  // namespace

void add_record(CLI::App& tool) {
  CLI::App* record = add_command(
      tool, "record", "write what a mock insole sends to a capture file",
      {.usage = "insole record FILE [--device ID] [--seconds N]",
       .about = "Writes the raw frames of a simulated insole, byte for byte as the SDK would\n"
                "receive them, to FILE (- for standard output); `insole decode FILE` reads\n"
                "them back. The frames are generated at once, without waiting: N seconds\n"
                "are N x 50 frames (sequence numbers 1, 2, ...), the same ones the live\n"
                "mock stream would send in that time. The capture is deterministic.\n"
                "\n"
                "A FILE ending in .mcap is written as an MCAP capture instead (see\n"
                "docs/capture-format.md): one channel for the insole with its id and\n"
                "foot, each frame stamped with the host time it would have arrived at.\n"
                "`insole export` and `insole decode` read both kinds."});
  auto options = std::make_shared<Options>();
  add_arguments(record, "FILE", options->path, "the capture to write (- for standard output)")->required();
  add_text(record, "--device", options->id, "ID",
           "the simulated insole (default left; an id containing\n\"right\", or 1 or 3, gives a right insole)");
  add_value(record, "--seconds", options->seconds, parse_seconds, "N", "how much stream to write (default 5)");
  record->add_flag("--btsnoop", options->btsnoop,
                   "write FILE as a Bluetooth HCI snoop log (btsnoop), as\n"
                   "phones write them, for Wireshark and the like");
  on_run(record, [options] { return run(*options); });
}

}  // namespace insole
