// The subscriber's handling of one message, without a broker: copies and
// forged message numbers, names made from hostile topics, and the bounds on
// open captures and insoles.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/mcap_reader.h"
#include "insole/bridge/bridge_dedup.h"
#include "insole/bridge/bridge_intake.h"
#include "insole/bridge/bridge_topics.h"
#include "memory_capture_files.h"

namespace insole {
namespace {

constexpr uint64_t kMax = ~uint64_t{0};

TEST(MessageNumbers, CopiesAreLeftOutAndForgedNumbersDropNothingReal) {
  MessageNumbers numbers;
  for (uint64_t n = 1; n <= 100; ++n) EXPECT_TRUE(numbers.fresh("r1", n));
  // QoS 1 copies, in and out of order, within the window.
  EXPECT_FALSE(numbers.fresh("r1", 100));
  EXPECT_FALSE(numbers.fresh("r1", 1));
  EXPECT_FALSE(numbers.fresh("r1", 57));
  // Forged numbers far ahead are written, once each, and move nothing.
  EXPECT_TRUE(numbers.fresh("r1", kMax));
  EXPECT_FALSE(numbers.fresh("r1", kMax));
  EXPECT_TRUE(numbers.fresh("r1", 100 + MessageNumbers::kWindow));
  for (uint64_t n = 101; n <= 200; ++n) EXPECT_TRUE(numbers.fresh("r1", n)) << n;
  EXPECT_FALSE(numbers.fresh("r1", 150));
  // Even a run of forged numbers one short of moving the window, between
  // every real one, drops no real message.
  for (uint64_t n = 201; n <= 300; ++n) {
    for (uint64_t f = 0; f + 1 < MessageNumbers::kStrays; ++f) numbers.fresh("r1", kMax - n * 100 - f);
    EXPECT_TRUE(numbers.fresh("r1", n)) << n;
  }
  // Another run numbers from 1 again.
  EXPECT_TRUE(numbers.fresh("r2", 1));
  EXPECT_FALSE(numbers.fresh("r2", 1));
  EXPECT_FALSE(numbers.fresh("r1", 300));
}

TEST(MessageNumbers, ARealJumpIsFollowedAndOldRunsAreForgottenNotDropped) {
  MessageNumbers numbers;
  for (uint64_t n = 1; n <= 50; ++n) numbers.fresh("r", n);
  // The bridge's buffer dropped a long outage's messages: the numbers jump.
  constexpr uint64_t kJump = 1'000'000;
  for (uint64_t n = kJump; n < kJump + 40; ++n) EXPECT_TRUE(numbers.fresh("r", n)) << n;
  // Copies of the first after the jump (strays then) and of later ones (the
  // window has moved) are all known.
  EXPECT_FALSE(numbers.fresh("r", kJump));
  EXPECT_FALSE(numbers.fresh("r", kJump + 3));
  EXPECT_FALSE(numbers.fresh("r", kJump + 39));
  EXPECT_TRUE(numbers.fresh("r", kJump + 40));
  // Past kRuns runs the least recently used is forgotten: its next number is
  // written, never taken for a copy.
  for (size_t r = 0; r < MessageNumbers::kRuns; ++r) numbers.fresh("other" + std::to_string(r), 1);
  EXPECT_TRUE(numbers.fresh("r", kJump + 41));
}

size_t messages_in(const std::vector<uint8_t>& bytes) {
  std::FILE* f = fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
  size_t count = 0;
  tvis::capture::ReadHandlers handlers;
  handlers.message = [&](const tvis::capture::Message&) { ++count; };
  EXPECT_TRUE(tvis::capture::read_mcap(f, handlers).ok());
  std::fclose(f);
  return count;
}

class Intake : public ::testing::Test {
 protected:
  void send(const std::string& topic, std::vector<UserProperty> properties = {}) {
    intake.take(topic, properties, frame, false, now += 1'000'000);
  }
  void send_numbered(const std::string& topic, uint64_t n) {
    const std::string text = std::to_string(n);
    send(topic, {{"run", "r"}, {"n", text}});
  }
  size_t max_open = 1024;
  MemoryCaptureFiles files;
  CaptureIntake intake{files, max_open};
  const std::vector<uint8_t> frame{0x54, 0x52, 0x56, 0x41, 1, 2, 3};
  int64_t now = 1'700'000'000'000'000'000;
};

TEST_F(Intake, HostileTopicsAreCapturedUnderSafeNamesInsideTheFolder) {
  const std::string long_level(300, 'd');
  for (const std::string& topic : std::vector<std::string>{"insoles/../evil/sensor", "insoles/h//sensor", "insoles//x/sensor", "insoles/h/.hidden/event",
        "insoles/h/" + long_level + "/sensor", "insoles/h/ok/sensor"})
    send(topic);
  send("insoles/h/ok/reply");    // not a kind that is captured
  send("insoles/h/ok/a/sensor"); // not a topic of the bridge
  const SubscribeOutcome& out = intake.finish();
  EXPECT_TRUE(files.unsafe_names.empty()) << files.unsafe_names.front();
  EXPECT_EQ(out.written, 6u);
  EXPECT_EQ(out.dropped, 0u);
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files.files) names.push_back(name);
  const std::string cut = capture_name(long_level);
  EXPECT_EQ(names, (std::vector<std::string>{"%/x.mcap", "%2E./evil.mcap", "h/%.mcap", "h/%2Ehidden.mcap",
                                             "h/" + cut + ".mcap", "h/ok.mcap"}));
}

TEST_F(Intake, NumbersThatAreNotNumbersAreMalformedNotCopies) {
  send_numbered("insoles/h/d/sensor", 1);
  for (const char* bad : {"abc", "", "12x", "-1", "+2", " 3", "18446744073709551616"})
    send("insoles/h/d/sensor", {{"run", "r"}, {"n", bad}});
  send("insoles/h/d/sensor", {{"n", "2"}, {"t", "soon"}});
  send("insoles/h/d/sensor", {{"run", std::string(65, 'r')}, {"n", "2"}});
  send_numbered("insoles/h/d/sensor", kMax);
  send_numbered("insoles/h/d/sensor", 2);
  send_numbered("insoles/h/d/sensor", 2);
  const SubscribeOutcome& out = intake.finish();
  EXPECT_EQ(out.malformed, 9u);
  EXPECT_EQ(out.duplicates, 1u);
  EXPECT_EQ(out.written, 3u);
}

TEST(IntakeBounds, MoreInsolesThanDescriptorsAreAllCapturedInParts) {
  // Captures may be open 8 at a time, and the files run out at 6 (others
  // hold descriptors too): 20 insoles in turn still lose nothing.
  MemoryCaptureFiles files(6);
  files.files["h/d3.mcap"] = {};  // an earlier run's capture stays
  {
    CaptureIntake intake(files, 8);
    const std::vector<uint8_t> frame{0x54, 0x52, 0x56, 0x41};
    int64_t now = 1;
    for (uint64_t round = 1; round <= 3; ++round)
      for (int d = 0; d < 20; ++d) {
        const std::string n = std::to_string(round);
        const UserProperty p[] = {{"run", "r"}, {"n", n}};
        intake.take("insoles/h/d" + std::to_string(d) + "/sensor", p, frame, false, ++now);
        EXPECT_LE(intake.open_captures(), 8u);
      }
    const SubscribeOutcome& out = intake.finish();
    EXPECT_EQ(out.written, 60u);
    EXPECT_EQ(out.dropped, 0u);
    EXPECT_EQ(out.insoles, 20u);
    EXPECT_GT(out.parts, 0u);
  }
  EXPECT_LE(files.most_open, 6u);
  EXPECT_EQ(files.open_now, 0u);
  EXPECT_TRUE(files.files["h/d3.mcap"].empty());
  for (int d = 0; d < 20; ++d) {
    size_t messages = 0;
    for (const auto& [name, bytes] : files.files)
      if (name.starts_with("h/d" + std::to_string(d) + ".") || name.starts_with("h/d" + std::to_string(d) + "+"))
        if (!bytes.empty()) messages += messages_in(bytes);
    EXPECT_EQ(messages, 3u) << d;
  }
}

TEST(IntakeBounds, AFullDiskCostsOnePartPerSecondAndTheCaptureGoesOnAfter) {
  MemoryCaptureFiles files;
  CaptureIntake intake(files, 16);
  const std::vector<uint8_t> frame{0x54, 0x52, 0x56, 0x41};
  int64_t now = 1'000'000'000'000;
  auto send = [&](int64_t step) { intake.take("insoles/h/d/sensor", {}, frame, false, now += step); };
  send(1);
  files.disk_full = true;
  for (int i = 0; i < 300; ++i) send(10'000'000);  // three seconds at 100 messages per second
  files.disk_full = false;
  send(1'000'000'000);
  send(1);
  testing::internal::CaptureStderr();
  const SubscribeOutcome out = intake.finish();
  testing::internal::GetCapturedStderr();
  // A chunk is written whole: the failure shows when the open one is, and
  // from then on nothing is taken for a second at a time.
  EXPECT_EQ(out.error, "cannot write the capture of h/d");
  EXPECT_EQ(out.written + out.dropped, 303u);
  EXPECT_GT(out.dropped, 150u);
  // The first file, one part per second of the outage, the one after.
  ASSERT_LE(files.files.size(), 6u);
  const std::string last = "h/d+" + std::to_string(files.files.size()) + ".mcap";
  ASSERT_TRUE(files.files.count(last)) << last;
  EXPECT_EQ(messages_in(files.files[last]), 2u);
}

TEST(IntakeBounds, InsolesPastTheBoundAreDroppedAndCounted) {
  MemoryCaptureFiles files;
  CaptureIntake intake(files, 16);
  const std::vector<uint8_t> frame{0x54, 0x52, 0x56, 0x41};
  testing::internal::CaptureStderr();
  for (size_t d = 0; d < CaptureIntake::kMaxInsoles + 10; ++d)
    intake.take("insoles/h/" + std::to_string(d) + "/sensor", {}, frame, false, 1);
  intake.take("insoles/h/0/sensor", {}, frame, false, 2);  // one admitted goes on
  const std::string warnings = testing::internal::GetCapturedStderr();
  const SubscribeOutcome& out = intake.finish();
  EXPECT_EQ(out.insoles, CaptureIntake::kMaxInsoles);
  EXPECT_EQ(out.written, CaptureIntake::kMaxInsoles + 1);
  EXPECT_EQ(out.dropped, 10u);
  EXPECT_EQ(out.past_bound, 10u);
  EXPECT_EQ(warnings, "insole: more than 4096 insoles in this run: the messages of further ones are dropped\n");
}

}  // namespace
}  // namespace insole
