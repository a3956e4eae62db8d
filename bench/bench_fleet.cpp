// A fleet of virtual insoles streaming into the SDK's receive path in one
// process: how much of one core it takes.
//
// 1. Real time: the insoles on a runner thread at 1x, every notification
//    through tvis_did_receive_data to counting callbacks; CPU time of the
//    whole process over wall time.
// 2. The same fleet on a simulated clock, as fast as it goes, once with the
//    notifications dropped and once through the receive path: the cost of
//    the insoles and of the SDK per second of streaming, apart.
//
// Usage: tvis_bench_fleet [--insoles N] [--rate HZ] [--seconds S]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/runner.h"
#include "trova_insole_sdk.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace sim = tvis::sim;

std::atomic<uint64_t> g_pressure{0}, g_imu{0};

void on_pressure(const char*, const TvisPressureSample*) { g_pressure.fetch_add(1, std::memory_order_relaxed); }
void on_imu(const char*, const TvisImuSample*) { g_imu.fetch_add(1, std::memory_order_relaxed); }

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

sim::Config config_for(int i) {
  sim::Config c;
  c.identity.foot = i % 2 ? 3 : 2;  // pairs: one seed, both feet
  c.seed = static_cast<uint64_t>(i / 2) + 1;
  c.activity = sim::Activity::Walking;
  return c;
}

std::string id_of(int i) {
  char id[32];
  std::snprintf(id, sizeof id, "insole-%04d", i);
  return id;
}

ByteBuffer stream_request(int i, uint32_t rate) {
  return tvis_build_enable_sensor_stream_request_with_dest(1, rate, static_cast<uint8_t>(i % 2 ? 3 : 2));
}

void real_time(int insoles, uint32_t rate, double seconds) {
  sim::Runner runner({[](const std::string& id, std::span<const uint8_t> b) {
    tvis_did_receive_data(id.c_str(), b.data(), b.size());
  }});
  for (int i = 0; i < insoles; ++i) runner.add(id_of(i), config_for(i));
  runner.start();
  for (int i = 0; i < insoles; ++i) {
    ByteBuffer req = stream_request(i, rate);
    runner.write(id_of(i), {req.data, req.len});
    tvis_free_bytes(req.data, req.len);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // warm up: parsers, queues, scratch

  const uint64_t frames0 = g_pressure.load();
  const double cpu0 = cpu_seconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = since(t0), cpu = cpu_seconds() - cpu0;
  const double frames = static_cast<double>(g_pressure.load() - frames0);
  runner.stop();

  std::printf("real time, %d insoles at %u Hz for %.1f s (runner thread + receive path + callbacks):\n", insoles, rate,
              wall);
  std::printf("  frames received   %.0f/s (expected %.0f/s)\n", frames / wall, static_cast<double>(insoles) * rate);
  std::printf("  CPU               %.1f %% of one core\n", 100.0 * cpu / wall);
  std::printf("  per frame         %.2f us\n", frames > 0 ? cpu / frames * 1e6 : 0.0);
}

// Returns CPU seconds per simulated second.
double simulated(int insoles, uint32_t rate, double seconds, bool receive) {
  std::vector<sim::VirtualInsole> fleet;
  std::vector<std::string> ids;
  for (int i = 0; i < insoles; ++i) {
    fleet.emplace_back(config_for(i));
    ids.push_back(id_of(i));
    ByteBuffer req = stream_request(i, rate);
    fleet.back().write({req.data, req.len});
    tvis_free_bytes(req.data, req.len);
  }
  const uint64_t step = 20'000, end = static_cast<uint64_t>(seconds * 1e6);
  uint64_t bytes = 0;
  const double cpu0 = cpu_seconds();
  for (uint64_t now = step; now <= end; now += step) {
    for (int i = 0; i < insoles; ++i) {
      fleet[i].advance_to(now);
      fleet[i].drain([&](const sim::Output& o) {
        bytes += o.bytes.size();
        if (receive) tvis_did_receive_data(ids[i].c_str(), o.bytes.data(), o.bytes.size());
      });
    }
  }
  const double cpu = cpu_seconds() - cpu0;
  std::printf("  %-34s %6.1f %% of one core  (%.0f bytes per insole-second)\n",
              receive ? "insoles + tvis_did_receive_data:" : "insoles alone:", 100.0 * cpu / seconds,
              static_cast<double>(bytes) / insoles / seconds);
  return cpu / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int insoles = 1000;
  uint32_t rate = 50;
  double seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--insoles")) insoles = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rate")) rate = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
  }
  tvis_set_pressure_callback(on_pressure);
  tvis_set_imu_callback(on_imu);

  real_time(insoles, rate, seconds);
  std::printf("simulated clock, same fleet, %.0f s of streaming as fast as it goes:\n", seconds);
  const double alone = simulated(insoles, rate, seconds, false);
  const double both = simulated(insoles, rate, seconds, true);
  std::printf("  receive path alone (difference)    %6.1f %% of one core\n", 100.0 * (both - alone));
  return 0;
}
