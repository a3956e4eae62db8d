// The C receive path end to end: tvis_did_receive_data on a stream of typical
// sensor frames in BLE-sized pieces, with the six receive callbacks
// registered as no-ops. Reports frames per second and heap allocations per
// frame (counted through the global operator new, which every container of
// the SDK allocates through).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "sensor_stream.h"
#include "trova_insole_sdk.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

void on_pressure(const char*, const TvisPressureSample* s) { benchmark::DoNotOptimize(s->pressure[0]); }
void on_shear(const char*, const TvisShearSample* s) { benchmark::DoNotOptimize(s->shear_force_x[0]); }
void on_imu(const char*, const TvisImuSample* s) { benchmark::DoNotOptimize(s->acc_x_mg); }
void on_battery(const char*, const TvisBatteryInfo* b) { benchmark::DoNotOptimize(b->battery_pct); }
void on_info(const char*, const TvisDeviceInfo* i) { benchmark::DoNotOptimize(i->product_id); }
void on_event(const char*, const TvisDeviceEvent* e) { benchmark::DoNotOptimize(e->type); }

void BM_ReceivePath_CallbacksNoOp(benchmark::State& state) {
  tvis_set_pressure_callback(on_pressure);
  tvis_set_shear_callback(on_shear);
  tvis_set_imu_callback(on_imu);
  tvis_set_battery_callback(on_battery);
  tvis_set_device_info_callback(on_info);
  tvis_set_device_event_callback(on_event);
  // Sequence numbers continue across passes would repeat; the gap warning is
  // filtered out (logging is off) and costs one comparison.
  const bench::Stream stream = bench::sensor_stream(1000);
  // Warm up: the device's parser and the per-thread scratch exist from here on.
  for (auto piece : stream.pieces) tvis_did_receive_data("bench-left", piece.data(), piece.size());

  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    for (auto piece : stream.pieces) tvis_did_receive_data("bench-left", piece.data(), piece.size());
  }
  const double frames = static_cast<double>(state.iterations()) * static_cast<double>(stream.frames);
  state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["allocs/frame"] = static_cast<double>(g_allocations.load() - before) / frames;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.bytes.size()));
}
BENCHMARK(BM_ReceivePath_CallbacksNoOp);

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
