// Host-time alignment end to end: two virtual insoles with their own clock
// offset and drift stream over a simulated BLE link (connection events,
// random extra intervals, batches held back), the host records what arrives
// into a capture, and the capture read back and aligned puts every sample
// within 5 ms of the instant it was sent, once 10 s have passed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "capture/clock_alignment.h"
#include "capture/mcap_reader.h"
#include "capture/mcap_writer.h"
#include "sim_support.h"

namespace {

using namespace sim_test;

constexpr int64_t kEpochNs = 1'700'000'000'000'000'000;
constexpr uint64_t kIntervalUs = 7500;  // the link's connection interval
constexpr uint64_t kFixedUs = 3000;     // radio and stack: the smallest delay beyond the interval wait

struct Arrival {
  uint64_t at_us;
  int insole;
  Bytes bytes;
};

struct MemorySink : tvis::capture::ByteSink {
  Bytes bytes;
  bool write(std::span<const uint8_t> b) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return true;
  }
};

// What the link does to one insole's notifications: each waits for the next
// connection event, some for one to three more, and now and then the link
// holds everything back for up to a quarter second and lets it go at once.
class Link {
 public:
  explicit Link(uint64_t seed) : rng_(seed) {}
  uint64_t deliver(uint64_t sent_us) {
    uint64_t at = (sent_us + kFixedUs + kIntervalUs - 1) / kIntervalUs * kIntervalUs;
    if (next() % 3 == 0) at += kIntervalUs * (1 + next() % 3);
    if (next() % 150 == 0) held_until_ = at + 100'000 + next() % 150'000;
    at = std::max({at, held_until_, last_});  // in order, as BLE keeps it
    return last_ = at;
  }

 private:
  uint64_t next() { return (rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull) >> 33; }
  uint64_t rng_, held_until_ = 0, last_ = 0;
};

TEST(Alignment, VirtualInsolesRecordedThroughADelayedLinkAlignWithin5ms) {
  struct Unit {
    uint32_t offset_ms;
    double ppm;
  };
  const std::vector<Unit> units = {{123'456, 180.0}, {9'000'000, -95.0}};
  std::vector<Host> hosts;
  for (size_t i = 0; i < units.size(); ++i) {
    sim::Config c;
    c.identity.foot = i == 0 ? proto::DEVICE_LEFT : proto::DEVICE_RIGHT;
    c.seed = 7 + i;
    c.clock_offset_ms = units[i].offset_ms;
    c.drift_ppm = units[i].ppm;
    hosts.emplace_back(c);
  }
  // What each insole sent, and when (the truth the alignment is judged by).
  std::vector<std::map<uint32_t, uint64_t>> sent(units.size());
  std::vector<Arrival> arrivals;
  std::vector<Link> links = {Link(11), Link(12)};
  for (size_t i = 0; i < hosts.size(); ++i) {
    Host& h = hosts[i];
    h.start_stream(proto::StreamConfig{});
    h.got.clear();
    proto::InsoleStreamParser sender_view;
    // Step to each instant the insole has something to do, so a
    // notification leaves exactly when the insole sends it.
    while (h.now < 40 * kSecond) {
      h.now = std::max(h.now + 1, std::min(h.insole.next_due_us(), 40 * kSecond));
      h.insole.advance_to(h.now);
      h.insole.drain([&](const sim::Output& o) {
        if (o.kind != sim::Output::Kind::Notification) return;
        sender_view.feed(o.bytes, [&](const proto::ParserEvent& ev) {
          Resp r;
          if (const auto* f = std::get_if<proto::FrameReceived>(&ev))
            if (r.ParseFromArray(f->frame.payload.data(), static_cast<int>(f->frame.payload.size())) &&
                r.has_sensor_data())
              sent[i][r.sensor_data().seq_num()] = h.now;
        });
        arrivals.push_back({links[i].deliver(h.now), static_cast<int>(i), Bytes(o.bytes.begin(), o.bytes.end())});
      });
    }
  }
  std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) { return a.at_us < b.at_us; });

  // The host records what arrives, stamped with its arrival.
  MemorySink file;
  {
    tvis::capture::McapWriter writer(file, {});
    const uint16_t channels[] = {writer.add_channel(0, "/insole/L/notifications", "insole.notification", {{"device_id", "L"}}),
                                 writer.add_channel(0, "/insole/R/notifications", "insole.notification", {{"device_id", "R"}})};
    for (const Arrival& a : arrivals) {
      const uint64_t at = static_cast<uint64_t>(kEpochNs) + a.at_us * 1000;
      writer.write_message(channels[a.insole], at, at, a.bytes);
    }
    ASSERT_TRUE(writer.close());
  }

  // Read back, frames cut per insole, each sample's device time aligned.
  std::FILE* in = fmemopen(file.bytes.data(), file.bytes.size(), "rb");
  ASSERT_NE(in, nullptr);
  std::map<std::string, proto::InsoleStreamParser> parsers;
  std::map<std::string, tvis::capture::ClockAlignment> alignments;
  struct Sample {
    uint64_t sent_us;
    int64_t aligned_ns, received_ns;
  };
  std::vector<std::vector<Sample>> samples(units.size());
  tvis::capture::ReadHandlers handlers;
  handlers.message = [&](const tvis::capture::Message& m) {
    const std::string& id = m.channel.metadata.at("device_id");
    const size_t unit = id == "L" ? 0 : 1;
    parsers[id].feed(m.data, [&](const proto::ParserEvent& ev) {
      const auto* f = std::get_if<proto::FrameReceived>(&ev);
      Resp r;
      if (!f || !r.ParseFromArray(f->frame.payload.data(), static_cast<int>(f->frame.payload.size())) ||
          !r.has_sensor_data())
        return;
      const auto& s = r.sensor_data();
      const int64_t aligned = alignments[id].align(s.timestamp_ms(), static_cast<int64_t>(m.log_time_ns));
      samples[unit].push_back({sent[unit].at(s.seq_num()), aligned, static_cast<int64_t>(m.log_time_ns)});
    });
  };
  EXPECT_TRUE(tvis::capture::read_mcap(in, handlers).ok());
  std::fclose(in);
  for (size_t i = 0; i < units.size(); ++i) {
    // No host can see the link's smallest delay (here the fixed part plus
    // the shortest wait for a connection event): aligned times carry it.
    int64_t smallest = INT64_MAX;
    for (const Sample& s : samples[i]) smallest = std::min(smallest, s.received_ns - kEpochNs - int64_t(s.sent_us) * 1000);
    EXPECT_GE(smallest, int64_t{kFixedUs} * 1000);
    double worst = 0;
    size_t judged = 0;
    for (const Sample& s : samples[i]) {
      if (s.sent_us < 10 * kSecond) continue;
      const double truth = static_cast<double>(kEpochNs + int64_t(s.sent_us) * 1000 + smallest);
      worst = std::max(worst, std::abs(static_cast<double>(s.aligned_ns) - truth));
      ++judged;
    }
    EXPECT_EQ(judged, 30u * 50) << "insole " << i;
    EXPECT_LT(worst, 5e6) << "insole " << i << ": " << worst / 1e6 << " ms";
    std::printf("insole %zu (%+.0f ppm): worst aligned error after 10 s %.2f ms\n", i, units[i].ppm, worst / 1e6);
  }
}

}  // namespace
