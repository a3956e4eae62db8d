// insole record: a capture file of what a mock insole sends.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "mock_frames.h"
#include "terminal.h"

namespace insole {

namespace {

constexpr double kDefaultSeconds = 5;

struct Options {
  std::string path;
  std::string id = "left";
  double seconds = kDefaultSeconds;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int run(const Options& options) {
  const std::string& path = options.path;
  const std::string& id = options.id;
  if (id.empty()) throw UsageError("--device needs a non-empty id");
  const auto frames = static_cast<uint32_t>(std::llround(options.seconds * kMockFramesPerSecond));

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
  std::vector<uint8_t> chunk;
  uint64_t total = 0;
  for (uint32_t n = 1; n <= frames; ++n) {
    append_mock_frame(profile, n, chunk);
    if (chunk.size() >= 64 * 1024 || n == frames) {
      if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) break;
      total += chunk.size();
      chunk.clear();
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
                "mock stream would send in that time. The capture is deterministic."});
  auto options = std::make_shared<Options>();
  add_arguments(record, "FILE", options->path, "the capture to write (- for standard output)")->required();
  add_text(record, "--device", options->id, "ID",
           "the simulated insole (default left; an id containing\n\"right\", or 1 or 3, gives a right insole)");
  add_value(record, "--seconds", options->seconds, parse_seconds, "N", "how much stream to write (default 5)");
  on_run(record, [options] { return run(*options); });
}

}  // namespace insole
