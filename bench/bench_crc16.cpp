// CRC-16/MODBUS over 1 MiB: the path the library picked, each candidate on
// its own (slicing, and folding where the CPU multiplies carry-less), the
// one-table reference they must match, and a memcpy of the same bytes as the
// ceiling.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "protocol/crc16.h"

namespace {

using namespace tvis::protocol;

constexpr size_t kLen = 1 << 20;

const std::vector<uint8_t>& data() {
  static const std::vector<uint8_t> d = [] {
    std::vector<uint8_t> v(kLen);
    std::mt19937 rng(7);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }();
  return d;
}

void BM_Crc16_Fast(benchmark::State& state) {
  const auto& d = data();
  if (crc16_modbus(d.data(), d.size()) != crc16_modbus_bytewise(d.data(), d.size())) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(crc16_modbus(d.data(), d.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Crc16_Sliced(benchmark::State& state) {
  const auto& d = data();
  for (auto _ : state) benchmark::DoNotOptimize(crc16_modbus_sliced(d.data(), d.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Crc16_Folded(benchmark::State& state) {
  if (!crc16_folding_supported()) {
    state.SkipWithError("no carry-less multiply on this CPU");
    return;
  }
  const auto& d = data();
  for (auto _ : state) benchmark::DoNotOptimize(crc16_modbus_folded(d.data(), d.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Crc16_Bytewise(benchmark::State& state) {
  const auto& d = data();
  for (auto _ : state) benchmark::DoNotOptimize(crc16_modbus_bytewise(d.data(), d.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const auto& d = data();
  std::vector<uint8_t> out(d.size());
  for (auto _ : state) {
    std::memcpy(out.data(), d.data(), d.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

}  // namespace

BENCHMARK(BM_Crc16_Fast);
BENCHMARK(BM_Crc16_Sliced);
BENCHMARK(BM_Crc16_Folded);
BENCHMARK(BM_Crc16_Bytewise);
BENCHMARK(BM_Memcpy);

BENCHMARK_MAIN();
