// Capture files: what is written reads back, and damage costs no more than
// the damaged part. The byte-level check against an independent reader is in
// tests/capture (the npm reference implementation).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/clock_alignment.h"
#include "capture/mcap_reader.h"
#include "capture/mcap_writer.h"

namespace tvis::capture {
namespace {

class MemorySink : public ByteSink {
 public:
  bool write(std::span<const uint8_t> b) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return true;
  }
  std::vector<uint8_t> bytes;
};

struct Read {
  std::vector<std::string> messages;  // "topic seq time payload"
  std::vector<std::string> warnings;
  std::vector<std::string> metadata;
  std::optional<std::string> error;
};

Read read_bytes(const std::vector<uint8_t>& bytes) {
  Read r;
  std::FILE* f = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
  if (bytes.empty()) f = std::tmpfile();
  ReadHandlers h;
  h.message = [&](const Message& m) {
    r.messages.push_back(m.channel.topic + " " + std::to_string(m.sequence) + " " + std::to_string(m.log_time_ns) +
                         " " + std::string(m.data.begin(), m.data.end()));
  };
  h.warning = [&](const std::string& w) { r.warnings.push_back(w); };
  h.metadata = [&](const std::string& name, const StringMap& map) { r.metadata.push_back(name + ":" + map.at("k")); };
  if (auto read = read_mcap(f, h); !read) r.error = std::move(read).error();
  std::fclose(f);
  return r;
}

// Two channels, a metadata record and messages over 2.25 s of log time, so a
// file holds two chunks of five.
std::vector<uint8_t> sample(bool live) {
  MemorySink sink;
  WriterOptions options;
  options.live = live;
  McapWriter w(sink, options);
  const uint16_t left = w.add_channel(0, "/insole/left/raw", "insole.notification", {{"foot", "left"}});
  const uint16_t right = w.add_channel(0, "/insole/right/raw", "insole.notification", {{"foot", "right"}});
  w.add_metadata("session", {{"k", "v"}});
  for (uint64_t i = 0; i < 10; ++i) w.write_message(i % 2 ? right : left, i * 250'000'000, i, std::vector<uint8_t>(3, 'a' + i));
  EXPECT_TRUE(w.close());
  return sink.bytes;
}

TEST(Capture, FilesAndLiveFeedsReadBackWhole) {
  for (bool live : {false, true}) {
    const Read r = read_bytes(sample(live));
    ASSERT_FALSE(r.error);
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    ASSERT_EQ(r.messages.size(), 10u);
    EXPECT_EQ(r.messages[0], "/insole/left/raw 0 0 aaa");
    EXPECT_EQ(r.messages[9], "/insole/right/raw 4 2250000000 jjj");
    EXPECT_EQ(r.metadata, std::vector<std::string>{"session:v"});
  }
}

TEST(Capture, CutAtEveryByteKeepsWhatCameBefore) {
  for (bool live : {false, true}) {
    const std::vector<uint8_t> whole = sample(live);
    const Read full = read_bytes(whole);
    size_t last_count = 0;
    for (size_t n = 0; n < whole.size(); ++n) {
      const Read r = read_bytes(std::vector<uint8_t>(whole.begin(), whole.begin() + n));
      if (n < 8) {
        EXPECT_TRUE(r.error) << n;
        continue;
      }
      // A prefix of the messages, never fewer than a shorter cut gave.
      ASSERT_LE(r.messages.size(), full.messages.size());
      EXPECT_TRUE(std::equal(r.messages.begin(), r.messages.end(), full.messages.begin())) << n;
      EXPECT_GE(r.messages.size(), last_count) << n;
      last_count = r.messages.size();
      // Never a silent loss: a cut that costs messages says so.
      if (r.messages.size() < full.messages.size()) {
        ASSERT_FALSE(r.warnings.empty()) << n;
        EXPECT_NE(r.warnings.back().find("cut short at byte"), std::string::npos) << r.warnings.back();
      }
    }
    // A file loses at most the open chunk: live feeds lose nothing complete.
    EXPECT_EQ(last_count, full.messages.size());
  }
}

TEST(Capture, DamagedChunkIsSkippedAndTheRestRead) {
  std::vector<uint8_t> bytes = sample(false);
  // The first chunk's first message payload starts after the chunk's fields.
  size_t chunk = 0;
  for (size_t i = 8; i < bytes.size(); ++i)
    if (bytes[i] == kChunk) {
      chunk = i;
      break;
    }
  ASSERT_NE(chunk, 0u);
  bytes[chunk + 9 + 8 * 3 + 4 + 4 + 8 + 30] ^= 0xFF;
  const Read r = read_bytes(bytes);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0], "chunk at byte " + std::to_string(chunk) + " fails its CRC check; skipped");
  EXPECT_EQ(r.messages.size(), 5u);  // the second chunk (a chunk closes once it spans a second)
}

TEST(Capture, ForeignAndHostileInputIsRefusedOrBounded) {
  EXPECT_EQ(*read_bytes({'n', 'o', 't', ' ', 'm', 'c', 'a', 'p'}).error, "not a capture file (no MCAP magic at its start)");
  std::vector<uint8_t> bytes = sample(true);
  // An unknown record type is skipped; a huge claimed length stops reading
  // without allocating it.
  std::vector<uint8_t> unknown = {0x7F, 2, 0, 0, 0, 0, 0, 0, 0, 'x', 'y'};
  bytes.insert(bytes.begin() + 8, unknown.begin(), unknown.end());
  EXPECT_EQ(read_bytes(bytes).messages.size(), 10u);
  std::vector<uint8_t> huge(std::begin(kMagic), std::end(kMagic));
  huge.insert(huge.end(), {kMessage, 0, 0, 0, 0, 0, 0, 0, 0x40});
  const Read r = read_bytes(huge);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("more than any capture holds"), std::string::npos);
}

}  // namespace
}  // namespace tvis::capture

namespace tvis::capture {
namespace {

// An insole clock 12.3 s off and 150 ppm fast (or 80 ppm slow), received over a
// link that adds 8 to 60 ms and sometimes holds samples back to hand over
// several at once. The link's smallest delay (8 ms) cannot be seen from the
// host, so aligned times carry it: the error is measured from the fastest
// possible delivery.
TEST(ClockAlignment, TracksOffsetAndDriftUnderDelayAndBatching) {
  for (double ppm : {150.0, -80.0}) {
    ClockAlignment align;
    uint64_t rng = 12345;
    auto next = [&rng] { return (rng = rng * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
    const double offset_ns = 12.3e9;
    int64_t held_until = 0;
    double worst_after_10s = 0;
    for (uint32_t i = 0; i < 50 * 60; ++i) {  // one minute at 50 Hz
      const uint32_t device_ms = 5000 + i * 20;
      const double true_host = device_ms * 1e6 * (1 + ppm * 1e-6) + offset_ns;
      int64_t received = static_cast<int64_t>(true_host) + 8'000'000 + static_cast<int64_t>(next() % 52) * 1'000'000;
      if (next() % 50 == 0) held_until = received + 150'000'000;  // a batch
      if (received < held_until) received = held_until;
      const double fastest = true_host + 8e6;
      const double error = std::abs(static_cast<double>(align.align(device_ms, received)) - fastest);
      if (i >= 50 * 10) worst_after_10s = std::max(worst_after_10s, error);
    }
    EXPECT_LT(worst_after_10s, 5e6) << ppm << " ppm";
  }
}

TEST(ClockAlignment, StartsAfreshWhenTheDeviceClockJumps) {
  ClockAlignment align;
  for (uint32_t i = 0; i < 500; ++i) align.align(100000 + i * 20, 1'000'000'000'000 + int64_t{i} * 20'000'000);
  // A reboot: the device clock starts again near zero, the host clock goes on.
  const int64_t host = 1'000'000'000'000 + int64_t{500} * 20'000'000;
  EXPECT_EQ(align.align(0, host), host);
}

// Channel ids are 16 bits: past the last one, a new channel must not wrap onto
// one in use, or its messages would be credited to another insole.
TEST(Capture, ChannelIdsUsedUpRefuseNewChannelsAndKeepTheOld) {
  MemorySink sink;
  McapWriter w(sink, {});
  for (size_t i = 1; i <= McapWriter::kMaxIds; ++i)
    ASSERT_EQ(w.add_channel(0, "/insole/" + std::to_string(i) + "/raw", "insole.notification", {}), i);
  EXPECT_EQ(w.add_channel(0, "/insole/late/raw", "insole.notification", {}), 0);
  w.write_message(0, 1, 1, std::vector<uint8_t>{'x'});
  w.write_message(1, 2, 2, std::vector<uint8_t>{'a'});
  EXPECT_TRUE(w.close());
  const Read r = read_bytes(sink.bytes);
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0], "/insole/1/raw 0 2 a");
}

}  // namespace
}  // namespace tvis::capture
