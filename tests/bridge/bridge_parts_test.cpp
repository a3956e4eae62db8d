// The bridge's parts that need no broker: the bounded buffer and its spool,
// broker addresses and topic levels, and how notifications become messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "insole/bridge/bridge_buffer.h"
#include "insole/bridge/bridge_messages.h"
#include "insole/bridge/bridge_subscriber.h"
#include "insole/bridge/bridge_topics.h"
#include "insole/sources/mock_frames.h"
#include "protocol/codec.h"
#include "protocol/frame.h"
#include "insole/cli/values.h"
#include "protocol/json_stream.h"

namespace insole {
namespace {

Outgoing message(uint32_t device, uint64_t number, size_t bytes) {
  Outgoing m;
  m.device = device;
  m.number = number;
  m.host_time_ns = static_cast<int64_t>(number) * 1000;
  m.topic = 2;
  m.retain = number % 2 == 0;
  m.payload.assign(bytes, static_cast<char>('a' + number % 26));
  return m;
}

std::vector<uint64_t> drain(OutgoingBuffer& buffer) {
  std::vector<uint64_t> numbers;
  Outgoing m;
  while (buffer.pop(m)) numbers.push_back(m.number);
  return numbers;
}

class SpoolDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("bridge-spool-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  size_t files() const {
    if (!std::filesystem::exists(dir_)) return 0;
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
  }
  std::filesystem::path dir_;
};

TEST(OutgoingBuffer, PastTheBoundTheOldestGoAndAreNamed) {
  OutgoingBuffer buffer(3 * (100 + 64), "", 0);
  std::vector<uint32_t> dropped;
  for (uint64_t n = 1; n <= 10; ++n) buffer.push(message(static_cast<uint32_t>(n % 3), n, 100), dropped);
  // Seven went, oldest first, each named by its insole.
  EXPECT_EQ(dropped, (std::vector<uint32_t>{1, 2, 0, 1, 2, 0, 1}));
  EXPECT_EQ(buffer.size(), 3u);
  Outgoing first;
  ASSERT_TRUE(buffer.pop(first));
  EXPECT_EQ(first.number, 8u);
  // A message that could not be handed over goes back in front.
  buffer.unpop(std::move(first));
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{8, 9, 10}));
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.memory_bytes(), 0u);
}

TEST_F(SpoolDir, TheSpoolKeepsOrderAndEveryFieldAcrossSegments) {
  // 1 MiB of memory and 512 KiB messages: most of them go through the spool,
  // over several 4 MiB segments.
  OutgoingBuffer buffer(1 << 20, dir_.string(), 1ull << 30);
  std::vector<uint32_t> dropped;
  for (uint64_t n = 1; n <= 20; ++n) buffer.push(message(7, n, 512 << 10), dropped);
  EXPECT_TRUE(dropped.empty());
  EXPECT_GT(files(), 1u);
  EXPECT_EQ(buffer.size(), 20u);
  Outgoing m;
  for (uint64_t n = 1; n <= 10; ++n) {
    ASSERT_TRUE(buffer.pop(m));
    const Outgoing want = message(7, n, 512 << 10);
    EXPECT_EQ(m.number, n);
    EXPECT_EQ(m.device, want.device);
    EXPECT_EQ(m.host_time_ns, want.host_time_ns);
    EXPECT_EQ(m.topic, want.topic);
    EXPECT_EQ(m.retain, want.retain);
    EXPECT_EQ(m.payload, want.payload);
  }
  // New messages while the spool is being read back come after it.
  for (uint64_t n = 21; n <= 24; ++n) buffer.push(message(7, n, 512 << 10), dropped);
  std::vector<uint64_t> want;
  for (uint64_t n = 11; n <= 24; ++n) want.push_back(n);
  EXPECT_EQ(drain(buffer), want);
  EXPECT_TRUE(dropped.empty());
  EXPECT_EQ(files(), 0u);
  EXPECT_EQ(buffer.spool_error(), "");
}

TEST_F(SpoolDir, PastTheSpoolBoundWholeOldSegmentsGoAndAreCounted) {
  OutgoingBuffer buffer(1 << 20, dir_.string(), 8 << 20);
  std::vector<uint32_t> dropped;
  for (uint64_t n = 1; n <= 40; ++n) buffer.push(message(static_cast<uint32_t>(n), n, 512 << 10), dropped);
  ASSERT_FALSE(dropped.empty());
  EXPECT_LE(buffer.spooled_bytes(), 8u << 20);
  // The dropped ones are the oldest, in order, and the rest arrive complete.
  for (size_t i = 0; i < dropped.size(); ++i) EXPECT_EQ(dropped[i], i + 1);
  const std::vector<uint64_t> kept = drain(buffer);
  ASSERT_EQ(kept.size() + dropped.size(), 40u);
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], dropped.size() + 1 + i);
}

TEST_F(SpoolDir, ASpoolThatCannotBeReadBackIsCountedAndMemoryGoesOn) {
  OutgoingBuffer buffer(1 << 20, dir_.string(), 1ull << 30);
  std::vector<uint32_t> dropped;
  for (uint64_t n = 1; n <= 6; ++n) buffer.push(message(0, n, 512 << 10), dropped);
  const uint64_t spooled = buffer.size() - 1;  // memory holds the newest only
  for (const auto& f : std::filesystem::directory_iterator(dir_)) std::filesystem::remove(f.path());
  EXPECT_EQ(drain(buffer), (std::vector<uint64_t>{6}));
  EXPECT_EQ(buffer.spool_lost(), spooled);
  EXPECT_NE(buffer.spool_error(), "");
}

TEST(BrokerAddress, SchemesPortsAndRefusals) {
  auto a = parse_broker("mqtt://broker.lab");
  EXPECT_EQ(a.text(), "broker.lab:1883");
  EXPECT_FALSE(a.tls);
  a = parse_broker("mqtts://broker.lab/");
  EXPECT_EQ(a.text(), "broker.lab:8883");
  EXPECT_TRUE(a.tls);
  a = parse_broker("mqtt://[::1]:1884");
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 1884);
  for (const char* bad : {"broker:1883", "http://x", "mqtt://", "mqtt://:1883", "mqtt://h:0", "mqtt://h:65536",
                          "mqtt://h:12x", "mqtt://[::1", "mqtt://h/path"})
    EXPECT_THROW(parse_broker(bad), UsageError) << bad;
  // Credentials in the address are refused without repeating them.
  try {
    parse_broker("mqtt://alice:hunter2@h:1883");
    FAIL();
  } catch (const UsageError& e) {
    EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos);
  }
}

TEST(TopicLevel, NoWildcardsSeparatorsOrHiddenNames) {
  EXPECT_EQ(topic_level("left"), "left");
  EXPECT_EQ(topic_level("a+b#c/d"), "a_b_c_d");
  EXPECT_EQ(topic_level(std::string("x\0y\n", 4)), "x_y_");
  EXPECT_EQ(topic_level(""), "_");
  EXPECT_EQ(topic_level(".."), "_.");
}

TEST(CaptureName, NetworkLevelsNeverLeaveTheFolderOrHide) {
  EXPECT_EQ(capture_name("left-7"), "left-7");
  EXPECT_EQ(capture_name("lab_1_a"), "lab_1_a");
  EXPECT_EQ(capture_name(".."), "%2E.");
  EXPECT_EQ(capture_name(".hidden"), "%2Ehidden");
  EXPECT_EQ(capture_name("a/../b"), "a%2F..%2Fb");
  EXPECT_EQ(capture_name("50%+#"), "50%25%2B%23");
  EXPECT_EQ(capture_name(std::string("\xff\x00 x", 4)), "%FF%00%20x");
  EXPECT_EQ(capture_name(""), "%");  // no encoding makes a lone '%'
  EXPECT_EQ(capture_name(std::string(200, 'd')), std::string(200, 'd'));
  // Past what a folder takes: cut, with a hash of the whole level, one byte
  // longer than any name that was not cut.
  const std::string a = capture_name(std::string(300, 'd')), b = capture_name(std::string(299, 'd') + "e");
  EXPECT_EQ(a.size(), 201u);
  EXPECT_EQ(a.substr(0, 185), std::string(184, 'd') + "~");
  EXPECT_NE(a, b);
  EXPECT_EQ(b.size(), 201u);
  // A %XX that would straddle the cut is left out whole.
  const std::string c = capture_name(std::string(182, 'd') + std::string(40, ' '));
  EXPECT_EQ(c.substr(0, 185), std::string(182, 'd') + "~~~");
  EXPECT_EQ(capture_name(std::string(65535, '/')).size(), 201u);
}

std::vector<uint8_t> frame_of(const tvis::protocol::InsoleResp& resp) {
  const auto payload = tvis::protocol::encode_insole_resp(resp);
  return tvis::protocol::encode_frame({}, payload).value();
}

TEST(DeviceMessages, FramesBecomeMessagesOnTheirTopics) {
  std::vector<uint8_t> sensor;
  append_mock_frame(tvis::mock::profile_for("left"), 5, sensor);
  tvis::protocol::InsoleResp battery;
  battery.battery_data = tvis::protocol::BatteryData{80, 3900, 0};
  tvis::protocol::InsoleResp event;
  event.device_event = tvis::protocol::DeviceEvent{1234, 1};
  tvis::protocol::InsoleResp info;
  info.device_info.emplace();
  tvis::protocol::InsoleResp config;  // an answer to a command: not what the insole is
  config.sensor_config.emplace();

  std::vector<uint8_t> stream = sensor;
  for (const auto* r : {&battery, &event, &info, &config}) {
    const auto f = frame_of(*r);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  std::vector<uint8_t> damaged = sensor;
  ASSERT_GT(damaged.size(), 2u);
  damaged.at(damaged.size() - 1) ^= 0xff;  // a bad CRC
  stream.insert(stream.end(), damaged.begin(), damaged.end());

  for (bool raw : {false, true}) {
    DeviceMessages messages(raw);
    std::vector<std::pair<MessageTopic, std::string>> got;
    // Cut where notifications would: a frame may span two of them.
    for (size_t at = 0; at < stream.size(); at += 37) {
      const size_t n = std::min<size_t>(37, stream.size() - at);
      messages.push({stream.data() + at, n},
                    [&](MessageTopic t, std::string_view payload) { got.emplace_back(t, std::string(payload)); });
    }
    ASSERT_EQ(got.size(), 5u) << raw;
    EXPECT_EQ(got[0].first, MessageTopic::sensor);
    EXPECT_EQ(got[1].first, MessageTopic::battery);
    EXPECT_EQ(got[2].first, MessageTopic::event);
    EXPECT_EQ(got[3].first, MessageTopic::info);
    EXPECT_EQ(got[4].first, MessageTopic::reply);
    EXPECT_EQ(messages.bad_frames(), 1u);
    if (raw) {
      EXPECT_EQ(got[0].second, std::string(sensor.begin(), sensor.end()));
    } else {
      // The decoder's rendering, as `insole decode` prints it.
      tvis::protocol::JsonStream decoder(false, true, tvis::protocol::kPythonSequenceLog);
      std::vector<std::string> lines;
      ASSERT_FALSE(decoder.push(sensor, lines));
      EXPECT_EQ(got[0].second, lines.at(0));
      EXPECT_NE(got[1].second.find("\"batteryPct\":80"), std::string::npos);
    }
  }
}

// A long run keeps a fixed sample of its latencies, and the sample still
// gives the percentiles of everything it saw.
TEST(LatencySample, StaysBoundedAndKeepsThePercentiles) {
  LatencySample sample;
  constexpr int64_t kSeen = 1'000'000;
  for (int64_t i = 0; i < kSeen; ++i) sample.add((i * 7919) % kSeen);  // every value once, shuffled
  const std::vector<int64_t> kept = sample.sorted();
  ASSERT_EQ(kept.size(), LatencySample::kKept);
  EXPECT_NEAR(static_cast<double>(kept[kept.size() / 2]), kSeen * 0.5, kSeen * 0.01);
  EXPECT_NEAR(static_cast<double>(kept[kept.size() * 99 / 100]), kSeen * 0.99, kSeen * 0.01);
}

}  // namespace
}  // namespace insole
