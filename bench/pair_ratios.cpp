// Ratios measured the way the receive-path figures are quoted: the two sides
// of a comparison run alternately in short adjacent runs on the same bytes,
// each pair gives one ratio, and the figure is the median of the pairs. A
// machine shared with other work disturbs single runs; it rarely disturbs both
// halves of a pair the same way, and the median drops the pairs it did.
//
// Run it pinned to one core, for example
//   taskset -c 1 build/bench/bench/tvis_pair_ratios
// Comparisons (all by default, or name some): receive, decode, crc, gait.
//   receive  tvis_did_receive_data with six no-op callbacks, the library loaded
//            with dlopen as a host (or ctypes) loads it, against the same road
//            on libprotobuf: reassembly, table CRC, ParseFromArray, no callbacks.
//   decode   sensor payloads: our decoder into a reused message against
//            ParseFromArray into a reused message.
//   gait     tvis_did_receive_data with gait enabled for the id (events to a
//            no-op callback) against the same stream for an id without it,
//            both with the six no-op callbacks; once with the insole's own
//            cell values (device units), once with cell resistances that the
//            SDK calibrates into newtons. Each pass starts the tracker afresh,
//            so the replayed device times never run backwards for it.
//   crc      CRC-16/MODBUS throughput of the path the library picked, against
//            the one-table reference, over 1 MiB and over frame-sized pieces.
// Options: --pairs N (7), --ms M (per side and pair, 150), --library PATH.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "insole.pb.h"
#include "plain_road.h"
#include "protocol/codec.h"
#include "protocol/crc16.h"
#include "sensor_stream.h"
#include "trova_insole_sdk.h"

namespace {

using namespace tvis::protocol;

struct Options {
  int pairs = 7;
  double ms = 150;
  std::string library = TVIS_LIBRARY_PATH;
};

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs pass() until the thread has spent ms of CPU time in it; returns units
// per second, where one pass is units_per_pass units. CPU time, not wall
// time: a run that loses the core for a while is not charged for it.
double rate(const std::function<void()>& pass, double units_per_pass, double ms) {
  const double start = thread_seconds();
  double passes = 0, now = start;
  do {
    pass();
    ++passes;
    now = thread_seconds();
  } while (now - start < ms * 1e-3);
  return passes * units_per_pass / (now - start);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Side {
  const char* name;
  std::function<void()> pass;
  double units_per_pass;
};

// Alternates the sides pair by pair (the first side of a pair alternates as
// well, so neither always runs on a freshly warmed or freshly disturbed
// core), prints each pair and returns the median of ours/theirs.
double pairs(const Options& o, const char* unit, double scale, const Side& ours, const Side& theirs) {
  ours.pass();  // warm caches and predictors
  theirs.pass();
  std::vector<double> ratios, ours_rates, theirs_rates;
  for (int i = 0; i < o.pairs; ++i) {
    double a, b;
    if (i % 2 == 0) {
      a = rate(ours.pass, ours.units_per_pass, o.ms);
      b = rate(theirs.pass, theirs.units_per_pass, o.ms);
    } else {
      b = rate(theirs.pass, theirs.units_per_pass, o.ms);
      a = rate(ours.pass, ours.units_per_pass, o.ms);
    }
    ratios.push_back(a / b);
    ours_rates.push_back(a);
    theirs_rates.push_back(b);
    std::printf("  pair %d: %s %10.3f %s   %s %10.3f %s   ratio %5.2f\n", i + 1, ours.name, a / scale, unit,
                theirs.name, b / scale, unit, a / b);
  }
  const double m = median(ratios);
  std::printf("  median: %s %.3f %s, %s %.3f %s, ratio %.2f\n\n", ours.name, median(ours_rates) / scale, unit,
              theirs.name, median(theirs_rates) / scale, unit, m);
  return m;
}

// ---- receive ----

struct CApi {
  void* handle;
  decltype(&tvis_did_receive_data) receive;
  decltype(&tvis_on_device_disconnected) disconnected;

  template <class Fn>
  Fn get(const char* name) {
    void* sym = dlsym(handle, name);
    if (!sym) {
      std::fprintf(stderr, "%s: %s not found\n", name, dlerror());
      std::exit(2);
    }
    return reinterpret_cast<Fn>(sym);
  }
};

template <class R>
void no_op(const char*, const R* r) {
  asm volatile("" : : "r"(r) : "memory");
}

// The library under test, loaded on its own, with every sample callback a
// no-op that the compiler cannot remove.
CApi load_api(const Options& o) {
  CApi api{dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL), nullptr, nullptr};
  if (!api.handle) {
    std::fprintf(stderr, "cannot load %s: %s\n", o.library.c_str(), dlerror());
    std::exit(2);
  }
  api.receive = api.get<decltype(&tvis_did_receive_data)>("tvis_did_receive_data");
  api.disconnected = api.get<decltype(&tvis_on_device_disconnected)>("tvis_on_device_disconnected");
  api.get<decltype(&tvis_set_pressure_callback)>("tvis_set_pressure_callback")(no_op<TvisPressureSample>);
  api.get<decltype(&tvis_set_shear_callback)>("tvis_set_shear_callback")(no_op<TvisShearSample>);
  api.get<decltype(&tvis_set_imu_callback)>("tvis_set_imu_callback")(no_op<TvisImuSample>);
  api.get<decltype(&tvis_set_battery_callback)>("tvis_set_battery_callback")(no_op<TvisBatteryInfo>);
  api.get<decltype(&tvis_set_device_info_callback)>("tvis_set_device_info_callback")(no_op<TvisDeviceInfo>);
  api.get<decltype(&tvis_set_device_event_callback)>("tvis_set_device_event_callback")(no_op<TvisDeviceEvent>);
  return api;
}

void compare_receive(const Options& o) {
  CApi api = load_api(o);

  const bench::Stream stream = bench::sensor_stream(1000);
  const char* id = "AA:BB:CC:DD:EE:01";
  auto ours = [&] {
    for (auto piece : stream.pieces) api.receive(id, piece.data(), piece.size());
  };

  bench::PlainReassembler reassembler;
  insole_ref::InsoleResp msg;
  size_t parsed = 0;
  auto theirs = [&] {
    for (auto piece : stream.pieces)
      reassembler.feed(piece, [&](const uint8_t* p, size_t len) {
        parsed += msg.ParseFromArray(p, static_cast<int>(len));
      });
  };

  std::printf("receive path vs libprotobuf road: %zu frames of %.1f bytes in %zu pieces of 20..244 bytes\n",
              stream.frames, static_cast<double>(stream.bytes.size()) / static_cast<double>(stream.frames),
              stream.pieces.size());
  std::printf("  library: %s\n", o.library.c_str());
  const double frames = static_cast<double>(stream.frames);
  pairs(o, "M frames/s", 1e6, Side{"ours", ours, frames}, Side{"libprotobuf", theirs, frames});
  if (parsed == 0) std::abort();
}

// ---- gait ----

void no_op_gait(const TvisGaitEvent* e, void*) { asm volatile("" : : "r"(e) : "memory"); }

void compare_gait(const Options& o) {
  CApi api = load_api(o);
  auto enable = api.get<decltype(&tvis_enable_gait)>("tvis_enable_gait");
  api.get<decltype(&tvis_set_gait_event_callback)>("tvis_set_gait_event_callback")(no_op_gait, nullptr);

  for (const bool resistances : {false, true}) {
    const bench::Stream stream = bench::sensor_stream(1000, resistances);
    const char* with = resistances ? "gait-on-N" : "gait-on-units";
    const char* without = resistances ? "gait-off-N" : "gait-off-units";
    auto on = [&] {
      enable(with, false);
      enable(with, true);
      for (auto piece : stream.pieces) api.receive(with, piece.data(), piece.size());
    };
    auto off = [&] {
      for (auto piece : stream.pieces) api.receive(without, piece.data(), piece.size());
    };
    std::printf("receive path with gait vs without: %zu frames of %.1f bytes, loads in %s\n", stream.frames,
                static_cast<double>(stream.bytes.size()) / static_cast<double>(stream.frames),
                resistances ? "newtons (48 cells calibrated per frame)" : "device units");
    const double frames = static_cast<double>(stream.frames);
    const double r = pairs(o, "M frames/s", 1e6, Side{"gait on ", on, frames}, Side{"gait off", off, frames});
    std::printf("  cost per frame with gait: %+.1f %%\n\n", (1.0 / r - 1.0) * 100.0);
  }
}

// ---- decode ----

void compare_decode(const Options& o) {
  // A set of distinct payloads, taken in turn, so the branch predictors see
  // a stream rather than one message learnt by heart.
  std::vector<std::vector<uint8_t>> payloads;
  size_t bytes = 0;
  for (uint32_t n = 1; n <= 256; ++n) {
    payloads.push_back(encode_insole_resp(bench::sensor_sample(n)));
    bytes += payloads.back().size();
  }
  InsoleResp msg;
  DecodeError err;
  auto ours = [&] {
    for (const auto& p : payloads)
      if (!decode_insole_resp_into(p, msg, err)) std::abort();
    asm volatile("" : : "r"(&msg) : "memory");
  };
  insole_ref::InsoleResp ref;
  auto theirs = [&] {
    for (const auto& p : payloads)
      if (!ref.ParseFromArray(p.data(), static_cast<int>(p.size()))) std::abort();
    asm volatile("" : : "r"(&ref) : "memory");
  };
  std::printf("decode vs ParseFromArray (reused messages): %zu sensor payloads of %.1f bytes\n", payloads.size(),
              static_cast<double>(bytes) / static_cast<double>(payloads.size()));
  const double n = static_cast<double>(payloads.size());
  pairs(o, "M msgs/s", 1e6, Side{"ours", ours, n}, Side{"libprotobuf", theirs, n});
}

// ---- crc ----

void compare_crc(const Options& o) {
  std::vector<uint8_t> data(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  if (crc16_modbus(data.data(), data.size()) != crc16_modbus_bytewise(data.data(), data.size())) std::abort();
  uint16_t sink = 0;
  auto fast = [&] { sink ^= crc16_modbus(data.data(), data.size()); };
  auto table = [&] { sink ^= crc16_modbus_bytewise(data.data(), data.size()); };
  const double mib = static_cast<double>(data.size());
  std::printf("CRC-16 over 1 MiB: the library's path vs one table step per byte\n");
  pairs(o, "GB/s", 1e9, Side{"fast ", fast, mib}, Side{"table", table, mib});

  // Frame-sized pieces at every alignment: set-up and tail costs show here.
  constexpr size_t kFrame = 227;
  const size_t count = (data.size() - 64) / kFrame;
  auto fast_frames = [&] {
    for (size_t i = 0; i < count; ++i) sink ^= crc16_modbus(data.data() + i * kFrame + (i & 63), kFrame);
  };
  auto table_frames = [&] {
    for (size_t i = 0; i < count; ++i) sink ^= crc16_modbus_bytewise(data.data() + i * kFrame + (i & 63), kFrame);
  };
  const double frame_bytes = static_cast<double>(count * kFrame);
  std::printf("CRC-16 over %zu-byte frames: the library's path vs one table step per byte\n", kFrame);
  pairs(o, "GB/s", 1e9, Side{"fast ", fast_frames, frame_bytes}, Side{"table", table_frames, frame_bytes});
  asm volatile("" : : "r"(sink));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> which;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--pairs" && i + 1 < argc) {
      o.pairs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--ms" && i + 1 < argc) {
      o.ms = std::max(1.0, std::atof(argv[++i]));
    } else if (a == "--library" && i + 1 < argc) {
      o.library = argv[++i];
    } else if (a == "receive" || a == "decode" || a == "crc" || a == "gait") {
      which.push_back(a);
    } else {
      std::fprintf(stderr, "usage: %s [--pairs N] [--ms M] [--library PATH] [receive] [decode] [crc] [gait]\n", argv[0]);
      return 2;
    }
  }
  if (which.empty()) which = {"receive", "decode", "crc", "gait"};
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0)
    std::printf("%d pairs, %.0f ms per side, on %d core(s)\n\n", o.pairs, o.ms, CPU_COUNT(&cpus));
  for (const std::string& w : which) {
    if (w == "receive") compare_receive(o);
    if (w == "decode") compare_decode(o);
    if (w == "crc") compare_crc(o);
    if (w == "gait") compare_gait(o);
  }
  return 0;
}
