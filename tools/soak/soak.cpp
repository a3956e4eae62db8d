// Soak: one process serving many mock insoles at 50 frames per second each,
// with the receive callbacks counting every sample. Reports lost and
// duplicated sequence numbers per device, RSS after warm-up and at the end,
// and CPU time per 1,000 frames. Exits non-zero on any loss, duplicate or
// RSS growth beyond the allowance.
//
//   tvis_soak [--insoles N] [--seconds S] [--rss-slack-kib K]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "trova_insole_sdk.h"

namespace {

struct DeviceCount {
  uint32_t last_seq = 0;
  uint64_t frames = 0;
  uint64_t lost = 0;
  uint64_t duplicated = 0;
};

std::mutex g_mutex;
std::unordered_map<std::string, DeviceCount> g_devices;
std::atomic<uint64_t> g_frames{0};

void on_pressure(const char* device_id, const TvisPressureSample* s) {
  g_frames.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(g_mutex);
  DeviceCount& d = g_devices[device_id];
  if (d.frames > 0) {
    if (s->seq_num <= d.last_seq) {
      ++d.duplicated;
    } else {
      d.lost += s->seq_num - d.last_seq - 1;
    }
  }
  d.last_seq = s->seq_num;
  ++d.frames;
}

void on_imu(const char*, const TvisImuSample*) {}
void on_shear(const char*, const TvisShearSample*) {}
void on_battery(const char*, const TvisBatteryInfo*) {}

long rss_kib() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int insoles = 200;
  int seconds = 600;
  long rss_slack_kib = 4096;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--insoles")) insoles = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rss-slack-kib")) rss_slack_kib = std::atol(argv[i + 1]);
  }
  tvis_set_pressure_callback(on_pressure);
  tvis_set_imu_callback(on_imu);
  tvis_set_shear_callback(on_shear);
  tvis_set_battery_callback(on_battery);

  std::vector<std::string> ids;
  for (int i = 0; i < insoles; ++i) ids.push_back((i % 2 ? "right-" : "left-") + std::to_string(i));
  for (const auto& id : ids) tvis_start_mock_stream(id.c_str());

  // Warm-up: every stream running, every table at its working size.
  const int warmup = seconds >= 60 ? 10 : 2;
  std::this_thread::sleep_for(std::chrono::seconds(warmup));
  const long rss_start = rss_kib();
  const double cpu_start = cpu_seconds();
  const uint64_t frames_start = g_frames.load();
  std::printf("warm-up done: %d insoles, RSS %ld KiB\n", insoles, rss_start);
  std::fflush(stdout);

  for (int t = warmup; t < seconds; ++t) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if ((t + 1) % 60 == 0) {
      std::printf("t=%ds frames=%llu RSS %ld KiB\n", t + 1, static_cast<unsigned long long>(g_frames.load()),
                  rss_kib());
      std::fflush(stdout);
    }
  }
  const long rss_end = rss_kib();
  const double cpu = cpu_seconds() - cpu_start;
  const uint64_t frames = g_frames.load() - frames_start;
  tvis_stop_mock_stream();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // ticks in progress finish

  uint64_t lost = 0, duplicated = 0, total = 0;
  size_t seen = 0;
  {
    std::lock_guard lock(g_mutex);
    for (const auto& [id, d] : g_devices) {
      lost += d.lost;
      duplicated += d.duplicated;
      total += d.frames;
      ++seen;
    }
  }
  const double seconds_measured = seconds - warmup;
  std::printf("insoles %zu/%d, frames %llu (%.0f/s after warm-up), lost %llu, duplicated %llu\n", seen, insoles,
              static_cast<unsigned long long>(total), frames / seconds_measured,
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(duplicated));
  std::printf("RSS after warm-up %ld KiB, at end %ld KiB (%+ld KiB)\n", rss_start, rss_end, rss_end - rss_start);
  std::printf("CPU %.3f ms per 1,000 frames (%.1f%% of one core)\n", frames ? cpu * 1e6 / frames : 0.0,
              100.0 * cpu / seconds_measured);
  const bool ok = seen == static_cast<size_t>(insoles) && lost == 0 && duplicated == 0 &&
                  rss_end - rss_start <= rss_slack_kib;
  std::printf("%s\n", ok ? "soak: ok" : "soak: FAILED");
  return ok ? 0 : 1;
}
