// insole record: a capture file of what a mock insole sends, or of what any
// source (mock, virtual insoles, a replay, a live feed) hands out, as it comes.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "insole/capture/btsnoop_log_writer.h"
#include "capture/mcap_writer.h"
#include "insole/cli/cli.h"
#include "insole/commands/commands.h"
#include "insole/sources/mock_frames.h"
#include "insole/sources/recorder.h"
#include "insole/sources/source_options.h"
#include "insole/console/terminal.h"
#include "insole/console/status_line.h"
#include "util/wall_clock.h"
#include "version.h"

namespace insole {

namespace {

constexpr double kDefaultSeconds = 5;

struct Options {
  std::string path;
  std::vector<std::string> ids;  // --device, repeatable; none: one left insole
  double seconds = -1;  // not given: kDefaultSeconds, or to its end for a replay or a feed
  bool decoded = false;
  bool btsnoop = false;
  SourceOptions sources;
};

// A snoop log to write at path ("-": standard output, never a terminal);
// null, with the reason on standard error, when it cannot be created.
std::unique_ptr<NotificationWriter> open_snoop(const std::string& path) {
  if (path == "-" && term::stdout_is_tty()) throw UsageError("refusing to write a binary capture to a terminal");
  try {
    return open_btsnoop_output(path);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "insole: %s\n", e.what());
    return nullptr;
  }
}

// Closes the log; false, with the reason on standard error, when any write failed.
bool close_snoop(NotificationWriter& out, const std::string& path) {
  if (out.close()) return true;
  std::fprintf(stderr, "insole: cannot write %s: %s\n", path == "-" ? "standard output" : path.c_str(),
               std::strerror(errno));
  return false;
}

// The same frames and times as an MCAP capture, as a phone's Bluetooth log.
const char* foot_of(const std::string& id) { return tvis::mock::profile_for(id).device_id == 3 ? "right" : "left"; }

// "a left insole", "2 insoles".
std::string insoles_text(const std::vector<std::string>& ids) {
  return ids.size() == 1 ? std::string("a ") + foot_of(ids[0]) + " insole" : std::to_string(ids.size()) + " insoles";
}

int write_snoop_capture(const std::string& path, const std::vector<std::string>& ids, uint32_t frames) {
  auto out = open_snoop(path);
  if (!out) return kExitFailed;
  const int64_t start = tvis::wall_clock_ns();
  std::vector<uint8_t> frame;
  for (uint32_t n = 1; n <= frames; ++n)
    for (const auto& id : ids) {
      frame.clear();
      append_mock_frame(tvis::mock::profile_for(id), n, frame);
      out->write_notification(id, foot_of(id), start + int64_t{n - 1} * 20'000'000, frame);
    }
  if (!close_snoop(*out, path)) return kExitFailed;
  if (path != "-") std::printf("recorded %u frames of %s to %s\n", frames, insoles_text(ids).c_str(), path.c_str());
  return kExitOk;
}

// A capture in the MCAP container: one channel per insole, each frame
// stamped with the host time it would have arrived at, 20 ms apart from now.
uint64_t write_mcap_capture(std::FILE* out, const std::vector<std::string>& ids, uint32_t frames) {
  tvis::capture::FileSink sink(out);
  tvis::capture::McapWriter writer(sink, {});
  writer.add_metadata("session", {{"sdk_version", tvis::kVersion}, {"source", "mock insole"}});
  std::vector<uint16_t> channels;
  for (const auto& id : ids)
    channels.push_back(writer.add_channel(0, "/insole/" + id + "/notifications", "insole.notification",
                                          {{"device_id", id}, {"foot", foot_of(id)}}));
  const auto start = static_cast<uint64_t>(tvis::wall_clock_ns());
  std::vector<uint8_t> frame;
  for (uint32_t n = 1; n <= frames; ++n)
    for (size_t i = 0; i < ids.size(); ++i) {
      frame.clear();
      append_mock_frame(tvis::mock::profile_for(ids[i]), n, frame);
      const uint64_t at = start + uint64_t{n - 1} * 20'000'000;
      writer.write_message(channels[i], at, at, frame);
    }
  writer.close();
  return static_cast<uint64_t>(std::ftell(out));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// --seconds, or by default: a replay or a feed to its end, anything else
// for the default span.
double recording_seconds(const Options& options) {
  if (options.seconds >= 0) return options.seconds;
  const bool to_end = !options.sources.replay.empty() || !options.sources.feed.empty();
  return to_end ? 0 : kDefaultSeconds;
}

// A recording from a source as a snoop log: notifications and the commands
// written to the insoles, for the tools that open phone logs.
int record_source_snoop(const Options& options, Source& source, double seconds) {
  const std::string& path = options.path;
  if (options.decoded) throw UsageError("--decoded applies to MCAP captures, not to --btsnoop logs");
  auto out = open_snoop(path);
  if (!out) return kExitFailed;
  term::catch_interrupts();
  uint64_t notifications = 0;
  std::string error;
  try {
    source.run([&](const SourceEvent& event) {
      if (event.kind == SourceEvent::Kind::notification) {
        out->write_notification(event.device_id, event.foot, event.host_time_ns, event.bytes);
        ++notifications;
      } else if (event.kind == SourceEvent::Kind::write) {
        out->write_command(event.device_id, event.host_time_ns, event.bytes);
      }
    }, seconds);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  const bool closed = close_snoop(*out, path);
  if (!error.empty()) {
    std::fprintf(stderr, "insole: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!closed) return kExitFailed;
  if (path != "-")
    std::printf("recorded %llu notifications from %s to %s\n", static_cast<unsigned long long>(notifications),
                source.describe().c_str(), path.c_str());
  return kExitOk;
}

// A recording from a source, in real time: an MCAP file, or the live feed
// form on standard output ("-"), written as the events come.
int record_source(const Options& options) {
  const std::string& path = options.path;
  if (options.btsnoop) {
    auto source = open_source(options.sources);
    return record_source_snoop(options, *source, recording_seconds(options));
  }
  if (path != "-" && !ends_with(path, ".mcap"))
    throw UsageError("a recording from a source goes to FILE.mcap, or - for a live feed");
  if (path == "-" && term::stdout_is_tty()) throw UsageError("refusing to write a binary capture to a terminal");
  auto source = open_source(options.sources);
  const double seconds = recording_seconds(options);

  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* out = stdout;
  if (path != "-") {
    owned.reset(std::fopen(path.c_str(), "wb"));
    if (!owned) {
      std::fprintf(stderr, "insole: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      return kExitFailed;
    }
    out = owned.get();
  }
  term::catch_interrupts();
  tvis::capture::FileSink sink(out);
  CaptureRecorder::Options recorder_options;
  recorder_options.live = path == "-";
  recorder_options.decoded = options.decoded;
  recorder_options.session = {{"source", source->describe()}};
  CaptureRecorder recorder(sink, recorder_options);

  // The sink runs on the source's thread; a chunk that waits while nothing
  // comes is closed by this small poller, so a quiet spell costs at most a
  // second of data if the recorder dies in it.
  std::mutex mutex;
  bool done = false;
  std::condition_variable wake;
  std::thread poller([&] {
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, std::chrono::milliseconds(200), [&] { return done; })) recorder.poll();
  });
  std::string error;
  {
    RateOf rate;
    StatusLine status([&] {
      uint64_t messages = 0;
      size_t insoles = 0;
      {
        std::lock_guard lock(mutex);
        messages = recorder.messages();
        insoles = recorder.insoles();
      }
      return "insole record: " + std::to_string(insoles) + (insoles == 1 ? " insole, " : " insoles, ") +
             rate.text(messages, "messages");
    });
    try {
      source->run([&](const SourceEvent& event) {
        std::lock_guard lock(mutex);
        recorder.record(event);
        if (!recorder.ok()) source->stop();  // nothing more can be kept
      }, seconds);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  wake.notify_all();
  poller.join();
  const bool closed = recorder.close();
  if (!error.empty()) {
    std::fprintf(stderr, "insole: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!owned) {
    std::fprintf(stderr, "insole: recorded %llu messages of %zu insoles from %s\n",
                 static_cast<unsigned long long>(recorder.messages()), recorder.insoles(), source->describe().c_str());
    return closed ? kExitOk : kExitFailed;
  }
  const bool failed = !closed || std::fflush(out) != 0 || std::ferror(out) || std::fclose(owned.release()) != 0;
  if (failed) {
    std::fprintf(stderr, "insole: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  std::printf("recorded %llu messages of %zu insoles from %s to %s\n",
              static_cast<unsigned long long>(recorder.messages()), recorder.insoles(), source->describe().c_str(),
              path.c_str());
  return kExitOk;
}

int run(const Options& options) {
  const std::string& path = options.path;
  if (source_chosen(options.sources)) {
    if (!options.ids.empty()) throw UsageError("--device is for the built-in mock capture; with a source, use --mock ID");
    return record_source(options);
  }
  if (options.decoded) throw UsageError("--decoded needs a source: --mock, --virtual, --replay or --feed");
  const std::vector<std::string> ids = options.ids.empty() ? std::vector<std::string>{"left"} : options.ids;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i].empty()) throw UsageError("--device needs a non-empty id");
    for (size_t j = 0; j < i; ++j)
      if (ids[j] == ids[i]) throw UsageError("--device " + ids[i] + " is given twice");
  }
  const bool as_mcap = ends_with(path, ".mcap");
  // A raw capture is one insole's byte stream: a second insole's frames
  // would interleave with no way to tell them apart again.
  if (ids.size() > 1 && !as_mcap && !options.btsnoop)
    throw UsageError("a raw capture holds one insole: give one --device, or write FILE.mcap or --btsnoop for several");
  const double seconds = options.seconds >= 0 ? options.seconds : kDefaultSeconds;
  const auto frames = static_cast<uint32_t>(std::llround(seconds * kMockFramesPerSecond));
  if (options.btsnoop) return write_snoop_capture(path, ids, frames);

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

  const tvis::mock::FootProfile& profile = tvis::mock::profile_for(ids[0]);
  std::vector<uint8_t> chunk;
  uint64_t total = 0;
  if (as_mcap) {
    total = write_mcap_capture(out, ids, frames);
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
  std::printf("recorded %u frames (%llu bytes) of %s to %s\n", frames, static_cast<unsigned long long>(total),
              insoles_text(ids).c_str(), path.c_str());
  return kExitOk;
}

}  // namespace

void add_record(CLI::App& tool) {
  CLI::App* record = add_command(
      tool, "record", "write what insoles send (mock, virtual, replayed, a live feed) to a capture",
      {.usage = "insole record FILE [--device ID]... [--seconds N] [--btsnoop]\n"
                "       insole record FILE.mcap|- (--mock ID | --virtual FOOT | --replay CAPTURE | --feed -|HOST:PORT)...\n"
                "                     [--seconds N] [--decoded | --btsnoop]",
       .about = "Writes the raw frames of a simulated insole, byte for byte as the SDK would\n"
                "receive them, to FILE (- for standard output); `insole decode FILE` reads\n"
                "them back. The frames are generated at once, without waiting: N seconds\n"
                "are N x 50 frames (sequence numbers 1, 2, ...), the same ones the live\n"
                "mock stream would send in that time. The capture is deterministic.\n"
                "\n"
                "A FILE ending in .mcap is written as an MCAP capture instead (see\n"
                "docs/capture-format.md): one channel for the insole with its id and\n"
                "foot, each frame stamped with the host time it would have arrived at.\n"
                "`insole export` and `insole decode` read both kinds.\n"
                "\n"
                "With a source, the recording runs in real time: what the mock insoles\n"
                "(--mock, repeatable), virtual insoles (--virtual left|right, repeatable,\n"
                "streaming at 50 Hz; each left and right a walker's pair, walking unless\n"
                "--gait says idle, standing or running), a replayed capture (--replay,\n"
                "with --speed, --fast, --seek) or a live feed (--feed - for standard\n"
                "input, or HOST:PORT to listen for hosts, one at a time) hands out goes\n"
                "to FILE.mcap with the host's receive times, one channel per insole, or\n"
                "with FILE - to standard output as a live feed. It runs --seconds\n"
                "(default 5; a replay or a feed runs to its end) or until Ctrl-C.\n"
                "--decoded adds a channel per insole\n"
                "with each frame's InsoleResp as protobuf, for tools that plot fields.\n"
                "\n"
                "--btsnoop writes FILE (any name) as a Bluetooth HCI snoop log instead, as\n"
                "phones write them: each insole one LE connection, its notifications and\n"
                "the commands written to it ATT packets. Wireshark opens it."});
  auto options = std::make_shared<Options>();
  add_arguments(record, "FILE", options->path, "the capture to write (- for standard output)")->required();
  add_text(record, "--device", options->ids, "ID",
           "the simulated insole (default left; an id containing\n\"right\", or 1 or 3, gives a right insole);\n"
           "repeatable, except for a raw capture");
  add_value(record, "--seconds", options->seconds, parse_seconds, "N", "how much stream to write (default 5)");
  record->add_flag("--btsnoop", options->btsnoop,
                   "write FILE as a Bluetooth HCI snoop log (btsnoop), as\n"
                   "phones write them, for Wireshark and the like");
  record->add_flag("--decoded", options->decoded, "also a decoded (protobuf) channel per insole");
  add_source_options(record, options->sources);
  on_run(record, [options] { return run(*options); });
}

}  // namespace insole
