// Faults a virtual insole injects on demand, and input it must survive:
// whatever the host writes, or fails to collect, memory stays bounded and
// every well-formed request is still answered.
#include <cmath>

#include "sim/random.h"
#include "sim_support.h"

namespace {

using namespace sim_test;

uint64_t seq_gaps(const std::vector<insole_ref::SensorData>& s, uint32_t& repeats) {
  uint64_t lost = 0;
  repeats = 0;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i].seq_num() <= s[i - 1].seq_num()) ++repeats;
    else lost += s[i].seq_num() - s[i - 1].seq_num() - 1;
  }
  return lost;
}

// Each link fault shows to the host the way it would on air: lost pieces
// as frames missing from the sequence, flipped bits as CRC failures,
// duplicates as repeated frames, delays as a later arrival with the order
// kept. Faults draw from their own stream: the signals stay the seed's.
TEST(SimFaults, LinkFaultsSeenByTheHost) {
  auto run = [](sim::Faults f) {
    sim::Config c;
    c.faults = f;
    c.mtu_payload = 512;  // a frame a piece: each fault hits whole frames
    Host h(c);
    h.start_stream({100, 0, 0, 0, true, false, true, true});
    h.run_for(20 * kSecond);
    return h;
  };
  const Host clean = run({});
  uint32_t repeats = 0;
  ASSERT_EQ(clean.samples().size(), 2000u);

  const Host lossy = run({.loss = 0.05});
  const uint64_t lost = seq_gaps(lossy.samples(), repeats);
  EXPECT_EQ(repeats, 0u);
  EXPECT_EQ(lost, lossy.insole.stats().lost);
  EXPECT_NEAR(static_cast<double>(lost) / 2000, 0.05, 0.015);

  const Host noisy = run({.corruption = 0.02});
  // A flipped bit in the magic or the length loses the frame instead.
  EXPECT_LE(static_cast<uint64_t>(noisy.bad_frames), noisy.insole.stats().corrupted);
  EXPECT_GT(static_cast<uint64_t>(noisy.bad_frames), noisy.insole.stats().corrupted * 3 / 4);
  EXPECT_GT(noisy.bad_frames, 20);

  const Host doubled = run({.duplication = 0.05});
  seq_gaps(doubled.samples(), repeats);
  EXPECT_GT(repeats, 0u);
  EXPECT_EQ(doubled.samples().size() - 2000, repeats);
  EXPECT_EQ(repeats, doubled.insole.stats().duplicated);

  const Host late = run({.delay = 0.01, .delay_ms = 300});
  EXPECT_EQ(seq_gaps(late.samples(), repeats), 0u);
  EXPECT_EQ(repeats, 0u);
  EXPECT_GT(late.insole.stats().delayed, 0u);
  const auto lt = late.samples();
  EXPECT_GT(lt.size(), 1960u);  // the last ones may still be on their way
  for (size_t i = 0; i < lt.size(); ++i)
    EXPECT_TRUE(lt[i].SerializeAsString() == clean.samples()[i].SerializeAsString()) << i;
}

// A disconnect after N frames: the link drops once, the stream stops, and
// the link comes back after its down time; requests in between are lost.
TEST(SimFaults, DisconnectAfterFrames) {
  sim::Config c;
  c.faults.disconnect_after_frames = 50;
  c.link_down_ms = 1500;
  Host h(c);
  h.start_stream({});
  h.run_for(2 * kSecond);
  EXPECT_EQ(h.got.size(), 50u);  // the answer and 49 samples
  EXPECT_EQ(h.drops, 1);
  EXPECT_FALSE(h.insole.streaming());
  h.send(proto::query_request(1, proto::Query::Battery));
  EXPECT_EQ(h.got.size(), 50u);
  EXPECT_GT(h.insole.stats().written_while_down, 0u);
  h.run_for(kSecond);
  EXPECT_EQ(h.restores, 1);
  EXPECT_TRUE(h.ask(proto::query_request(2, proto::Query::Battery)).has_battery_data());
  h.run_for(5 * kSecond);
  EXPECT_EQ(h.drops, 1);
  // Set again, it counts from then on.
  h.insole.set_faults({.disconnect_after_frames = 5});
  const size_t before = h.got.size();
  h.start_stream({});
  h.run_for(kSecond);
  EXPECT_EQ(h.got.size() - before, 5u);
  EXPECT_EQ(h.drops, 2);
}

// Garbage (the fuzz target's work), partial frames and false frame starts
// with huge lengths: nothing grows past its bound, and a host that never
// collects loses frames, not memory. Past it all, requests are served.
TEST(SimRobustness, BadInputAndAnAbsentHost) {
  sim::Config c;
  c.max_queued_bytes = 64 * 1024;
  Host h(c);
  sim::VirtualInsole& v = h.insole;
  tvis::sim::Random r(7);
  const Bytes good = proto::frame_request(proto::query_request(9, proto::Query::DeviceInfo), 2).value();
  for (int round = 0; round < 2000; ++round) {
    Bytes junk(r.below(600));
    for (uint8_t& b : junk) b = static_cast<uint8_t>(r.next());
    if (round % 3 == 0) junk.insert(junk.begin(), {'T', 'R', 'V', 'A', 2, 0x21, 0xFF, 0x3F});  // 16383 bytes to come
    junk.insert(junk.end(), good.begin(), good.begin() + (round % 5 ? r.below(good.size()) : good.size()));
    v.write(junk);
    v.advance_to(round * kMs);  // nobody drains
    EXPECT_LE(v.queued_bytes(), c.max_queued_bytes);
  }
  EXPECT_GT(v.stats().answers, 10u);  // whole requests between the false starts
  EXPECT_GT(v.stats().overflows, 10u);

  // Past whatever frame start it still waits on, it serves requests again.
  for (int i = 0; i < 171; ++i) v.write(Bytes(100, 0));
  h.start_stream({});
  v.advance_to(60 * kSecond);
  EXPECT_LE(v.queued_bytes(), c.max_queued_bytes);
  EXPECT_GT(v.stats().samples_dropped, 1000u);
  h.pump();
  EXPECT_EQ(h.ask(proto::query_request(3, proto::Query::DeviceInfo)).msg_id(), 3u);
}

// A link that duplicates every piece still keeps the output bound when the
// host stops collecting: duplicates are what gives way, not the bound.
TEST(SimRobustness, DuplicatesNeverPassTheOutputBound) {
  sim::Config c;
  c.faults.duplication = 1.0;
  c.max_queued_bytes = 4 * 1024;
  sim::VirtualInsole v(c);
  const Bytes ask = proto::frame_request(proto::query_request(9, proto::Query::DeviceInfo), 2).value();
  for (int i = 0; i < 200; ++i) {
    v.write(ask);
    v.advance_to(i * kMs);  // nobody drains
    ASSERT_LE(v.queued_bytes(), c.max_queued_bytes);
  }
  EXPECT_GT(v.stats().duplicated, 10u);
  EXPECT_GT(v.stats().overflowed, 0u);
}

}  // namespace
