// Decoding one typical sensor payload: our codec into a reused InsoleResp
// against libprotobuf parsing into a reused message.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "insole.pb.h"
#include "sensor_stream.h"

namespace {

using namespace tvis::protocol;

std::vector<uint8_t> typical_payload() { return encode_insole_resp(bench::sensor_sample(1)); }

void BM_Decode_Ours(benchmark::State& state) {
  const std::vector<uint8_t> payload = typical_payload();
  InsoleResp msg;
  DecodeError err;
  for (auto _ : state) {
    if (!decode_insole_resp_into(payload, msg, err)) std::abort();
    benchmark::DoNotOptimize(msg);
    benchmark::ClobberMemory();
  }
  if (msg.sensor_data->pressure_data->pressure.size() != 48) std::abort();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.counters["msgs"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
}

void BM_Decode_Libprotobuf(benchmark::State& state) {
  const std::vector<uint8_t> payload = typical_payload();
  insole_ref::InsoleResp msg;
  for (auto _ : state) {
    if (!msg.ParseFromArray(payload.data(), static_cast<int>(payload.size()))) std::abort();
    benchmark::DoNotOptimize(msg);
    benchmark::ClobberMemory();
  }
  if (msg.sensor_data().pressure_data().pressure_size() != 48) std::abort();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.counters["msgs"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
}

}  // namespace

BENCHMARK(BM_Decode_Ours);
BENCHMARK(BM_Decode_Libprotobuf);
