// The receive road short of the callbacks: BLE-sized pieces in, reassembly,
// CRC check, payload decode. Ours (InsoleStreamParser + our codec) against the
// same road built the plain way on libprotobuf.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <variant>

#include "insole.pb.h"
#include "protocol/crc16.h"
#include "protocol/parser.h"
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

// Reassembly as one would write it around a generated codec: append the piece
// to a vector, look for the magic, take each complete frame, check its CRC a
// byte at a time, parse, and erase what was consumed.
class PlainReassembler {
 public:
  template <class OnPayload>
  void feed(std::span<const uint8_t> piece, OnPayload&& on_payload) {
    buf_.insert(buf_.end(), piece.begin(), piece.end());
    size_t at = 0;
    for (;;) {
      auto found = std::search(buf_.begin() + at, buf_.end(), kMagic, kMagic + 4);
      if (found == buf_.end()) {
        at = std::max(at, buf_.size() >= 3 ? buf_.size() - 3 : 0);  // a split magic may follow
        break;
      }
      at = static_cast<size_t>(found - buf_.begin());
      const size_t avail = buf_.size() - at;
      if (avail < 5) break;
      const size_t h = header_len(buf_[at + 4]);
      if (avail < h) break;
      const size_t len = buf_[at + 6] | (static_cast<size_t>(buf_[at + 7]) << 8);
      if (len > MAX_PAYLOAD_LEN) {
        ++at;
        continue;
      }
      if (avail < h + len + kCrcLen) break;
      const uint8_t* f = buf_.data() + at;
      const uint16_t stored = static_cast<uint16_t>(f[h + len] | (f[h + len + 1] << 8));
      if (crc16_modbus_bytewise(f, h + len) == stored) on_payload(f + h, len);
      at += h + len + kCrcLen;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at));
  }

 private:
  std::vector<uint8_t> buf_;
};

void BM_Road_Libprotobuf(benchmark::State& state) {
  const bench::Stream& s = stream();
  PlainReassembler reassembler;
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
