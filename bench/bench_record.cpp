// What recording costs: two insoles at 200 Hz each, their notifications
// written by the tool's recorder to a capture file as they would arrive,
// raw channels only and with the decoded channels. Prints the CPU time per
// notification and the share of one core the recorder takes at that rate.
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "insole/sources/mock_frames.h"
#include "insole/sources/recorder.h"

namespace {

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One notification per frame, the mock insoles' frames, 5 ms apart per foot.
double record(bool decoded, double stream_seconds, const char* path) {
  const std::string ids[] = {"left", "right"};
  const std::string feet[] = {"left", "right"};
  std::vector<std::vector<uint8_t>> frames[2];
  for (int f = 0; f < 2; ++f)
    for (uint32_t n = 1; n <= 400; ++n) {
      frames[f].emplace_back();
      insole::append_mock_frame(tvis::mock::profile_for(ids[f]), n, frames[f].back());
    }
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return -1;
  tvis::capture::FileSink sink(out);
  insole::CaptureRecorder::Options options;
  options.decoded = decoded;
  const auto ticks = static_cast<uint64_t>(stream_seconds * 200);
  const double start = cpu_seconds();
  {
    insole::CaptureRecorder recorder(sink, options);
    int64_t t = 1'700'000'000'000'000'000;
    for (uint64_t i = 0; i < ticks; ++i, t += 5'000'000)
      for (int f = 0; f < 2; ++f)
        recorder.record({insole::SourceEvent::Kind::notification, ids[f], feet[f], t + f * 1'000'000, frames[f][i % 400]});
    recorder.close();
  }
  std::fclose(out);
  return cpu_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
  const double stream_seconds = argc > 1 ? std::stod(argv[1]) : 600;
  const char* path = argc > 2 ? argv[2] : "/tmp/bench_record.mcap";
  std::printf("2 insoles x 200 Hz, %.0f s of stream (%.0f notifications)\n", stream_seconds, stream_seconds * 400);
  for (bool decoded : {false, true}) {
    const double cpu = record(decoded, stream_seconds, path);
    std::printf("%-22s %6.2f us per notification, %.3f %% of a core\n", decoded ? "raw + decoded channels" : "raw channels",
                cpu / (stream_seconds * 400) * 1e6, cpu / stream_seconds * 100);
  }
  std::remove(path);
  return 0;
}
