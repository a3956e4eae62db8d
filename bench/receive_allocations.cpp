// Heap allocations of the C receive path in steady state: the library loaded
// with dlopen, six no-op callbacks, a stream of typical sensor frames in
// BLE-sized pieces. Every malloc-family call of the process is counted (the
// library's containers allocate through operator new, which calls malloc),
// so this is a program of its own: the timed comparisons must not pay for
// the counting.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sensor_stream.h"
#include "trova_insole_sdk.h"

namespace {
std::atomic<uint64_t> g_allocations{0};
}

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
}

namespace {

template <class R>
void no_op(const char*, const R* r) {
  asm volatile("" : : "r"(r) : "memory");
}

template <class Fn>
Fn symbol(void* lib, const char* name) {
  void* sym = dlsym(lib, name);
  if (!sym) {
    std::fprintf(stderr, "%s not found\n", name);
    std::exit(2);
  }
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : TVIS_LIBRARY_PATH;
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
    return 2;
  }
  auto receive = symbol<decltype(&tvis_did_receive_data)>(lib, "tvis_did_receive_data");
  symbol<decltype(&tvis_set_pressure_callback)>(lib, "tvis_set_pressure_callback")(no_op<TvisPressureSample>);
  symbol<decltype(&tvis_set_shear_callback)>(lib, "tvis_set_shear_callback")(no_op<TvisShearSample>);
  symbol<decltype(&tvis_set_imu_callback)>(lib, "tvis_set_imu_callback")(no_op<TvisImuSample>);
  symbol<decltype(&tvis_set_battery_callback)>(lib, "tvis_set_battery_callback")(no_op<TvisBatteryInfo>);
  symbol<decltype(&tvis_set_device_info_callback)>(lib, "tvis_set_device_info_callback")(no_op<TvisDeviceInfo>);
  symbol<decltype(&tvis_set_device_event_callback)>(lib, "tvis_set_device_event_callback")(no_op<TvisDeviceEvent>);

  const bench::Stream stream = bench::sensor_stream(1000);
  const char* id = "AA:BB:CC:DD:EE:01";
  auto pass = [&] {
    for (auto piece : stream.pieces) receive(id, piece.data(), piece.size());
  };
  const uint64_t start = g_allocations.load();
  pass();  // the device's state and the thread's working memory come to be here
  const uint64_t warm = g_allocations.load();
  constexpr int kPasses = 20;
  for (int i = 0; i < kPasses; ++i) pass();
  const uint64_t steady = g_allocations.load() - warm;
  const double frames = static_cast<double>(kPasses * stream.frames);
  std::printf("library: %s\n", path);
  std::printf("first pass (device state created): %llu allocations\n",
              static_cast<unsigned long long>(warm - start));
  std::printf("steady state: %llu allocations over %.0f frames, %.4f per frame\n",
              static_cast<unsigned long long>(steady), frames, static_cast<double>(steady) / frames);
  return warm > start ? 0 : 1;  // no allocation at all: the counter did not see the library
}
