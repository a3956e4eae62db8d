// The receive road short of the callbacks: BLE-sized pieces in, reassembly,
// CRC check, payload decode. Ours (InsoleStreamParser + our codec) against the
// same road built the plain way on libprotobuf.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <variant>

#include "insole.pb.h"
#include "protocol/crc16.h"
#include "protocol/parser.h"
#include "plain_road.h"
#include "sensor_stream.h"

namespace {

using namespace tvis::protocol;

constexpr size_t kFrames = 256;

const bench::Stream& stream() {
  static const bench::Stream s = bench::sensor_stream(kFrames);
  return s;
}

void report(benchmark::State& state, size_t decoded) {
  const bench::Stream& s = stream();
  if (decoded != state.iterations() * s.frames) std::abort();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
  state.counters["frames"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
  state.counters["frame_bytes"] = static_cast<double>(s.bytes.size()) / static_cast<double>(s.frames);
  state.counters["pieces_per_frame"] = static_cast<double>(s.pieces.size()) / static_cast<double>(s.frames);
}

void BM_Road_Ours(benchmark::State& state) {
  const bench::Stream& s = stream();
  InsoleStreamParser parser;
  InsoleResp msg;
  DecodeError err;
  size_t decoded = 0;
  auto on_event = [&](const ParserEvent& e) {
    if (auto* f = std::get_if<FrameReceived>(&e)) {
      if (decode_insole_resp_into(f->frame.payload, msg, err)) ++decoded;
      benchmark::DoNotOptimize(msg);
    }
  };
  for (auto _ : state) {
    for (std::span<const uint8_t> piece : s.pieces) parser.feed(piece, on_event);
  }
  report(state, decoded);
}

void BM_Road_Libprotobuf(benchmark::State& state) {
  const bench::Stream& s = stream();
  bench::PlainReassembler reassembler;
  insole_ref::InsoleResp msg;
  size_t decoded = 0;
  auto on_payload = [&](const uint8_t* p, size_t len) {
    if (msg.ParseFromArray(p, static_cast<int>(len))) ++decoded;
    benchmark::DoNotOptimize(msg);
  };
  for (auto _ : state) {
    for (std::span<const uint8_t> piece : s.pieces) reassembler.feed(piece, on_payload);
  }
  report(state, decoded);
}

}  // namespace

BENCHMARK(BM_Road_Ours);
BENCHMARK(BM_Road_Libprotobuf);
