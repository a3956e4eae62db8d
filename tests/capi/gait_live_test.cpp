// Live gait events through the C face: walking frames from the virtual
// insole fed to tvis_did_receive_data, events observed at the gait callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capi_support.h"
#include "sim/virtual_insole.h"
#include "trova_insole_sdk.h"

namespace {

using capi_test::Bytes;

// The notifications of one virtual insole walking (or standing) for a while,
// streaming at rate_hz.
std::vector<Bytes> walking_notifications(int32_t foot, tvis::sim::Activity activity, double seconds,
                                         uint32_t rate_hz = 100, uint64_t seed = 7) {
  tvis::sim::Config config;
  config.identity.foot = foot;
  config.seed = seed;
  config.activity = activity;
  tvis::sim::VirtualInsole insole(config);
  ByteBuffer start = tvis_build_enable_sensor_stream_request_with_dest(1, rate_hz, static_cast<uint8_t>(foot));
  insole.write({start.data, start.len});
  tvis_free_bytes(start.data, start.len);
  const uint64_t end_us = static_cast<uint64_t>(seconds * 1e6);
  for (uint64_t t = 0; t <= end_us; t += 10'000) insole.advance_to(t);
  std::vector<Bytes> out;
  for (auto& n : insole.take_notifications()) out.push_back(std::move(n));
  return out;
}

struct Seen {
  std::string device;
  TvisGaitEvent event;
  int pressure_calls_before = 0;  // pressure callbacks raised before this event, for its device
};

// What the callbacks saw, in order. Only touched on the feeding thread,
// except where a test says otherwise.
struct Recorder {
  std::vector<Seen> events;
  int pressure_calls = 0;
  uint32_t last_pressure_seq = 0;
  bool reenter = false;  // the gait callback calls back into the SDK
};
Recorder* g_rec = nullptr;

void on_pressure(const char*, const TvisPressureSample* s) {
  if (!g_rec) return;
  ++g_rec->pressure_calls;
  g_rec->last_pressure_seq = s->seq_num;
}

void on_gait(const TvisGaitEvent* e, void* user_data) {
  auto* rec = static_cast<Recorder*>(user_data);
  Seen seen{e->device_id, *e, rec->pressure_calls};
  seen.event.device_id = nullptr;  // lives only during the call
  rec->events.push_back(seen);
  // The deciding sample's own callback ran first.
  EXPECT_EQ(rec->last_pressure_seq, e->seq_num);
  if (rec->reenter) {
    // Every kind of SDK call from inside: no lock is held, none deadlocks.
    EXPECT_EQ(tvis_enable_gait(e->device_id, true), TVIS_OK);
    tvis_set_gait_event_callback(on_gait, user_data);
    tvis_set_pressure_callback(on_pressure);
    const Bytes empty;
    tvis_did_receive_data("gait-other", empty.data(), 0);
    tvis_on_device_disconnected("gait-unrelated");
  }
}

class GaitLive : public ::testing::Test {
 protected:
  void SetUp() override {
    g_rec = &rec_;
    tvis_set_pressure_callback(on_pressure);
    tvis_set_gait_event_callback(on_gait, &rec_);
  }
  void TearDown() override {
    tvis_set_gait_event_callback(nullptr, nullptr);
    tvis_set_pressure_callback(nullptr);
    g_rec = nullptr;
  }
  static void feed_all(const std::string& id, const std::vector<Bytes>& notifications) {
    for (const Bytes& n : notifications) capi_test::feed(id, n);
  }
  std::vector<TvisGaitStride> strides() const {
    std::vector<TvisGaitStride> out;
    for (const Seen& s : rec_.events)
      if (s.event.has_stride) out.push_back(s.event.stride);
    return out;
  }
  Recorder rec_;
};

TEST(GaitLiveArguments, StatusCodesForBadIds) {
  EXPECT_EQ(tvis_enable_gait(nullptr, true), TVIS_ERR_NULL);
  EXPECT_EQ(tvis_enable_gait("\xC3\x28", true), TVIS_ERR_INVALID);
  // An id not seen yet: gait is enabled ahead of its first notification.
  EXPECT_EQ(tvis_enable_gait("gait-never-seen", true), TVIS_OK);
  EXPECT_EQ(tvis_enable_gait("gait-never-seen", false), TVIS_OK);
  EXPECT_EQ(tvis_enable_gait("gait-never-enabled", false), TVIS_OK);
  tvis_set_gait_event_callback(nullptr, nullptr);
}

TEST_F(GaitLive, WalkingGivesAlternatingEventsAndStridesAfterTheSampleCallbacks) {
  ASSERT_EQ(tvis_enable_gait("gait-walk-left", true), TVIS_OK);
  feed_all("gait-walk-left", walking_notifications(TVIS_DEVICE_LEFT, tvis::sim::Activity::Walking, 12));
  ASSERT_GE(rec_.events.size(), 12u);
  for (size_t i = 0; i < rec_.events.size(); ++i) {
    const TvisGaitEvent& e = rec_.events[i].event;
    EXPECT_EQ(rec_.events[i].device, "gait-walk-left");
    EXPECT_EQ(e.foot, TVIS_DEVICE_LEFT);
    EXPECT_EQ(e.load_unit, TVIS_LOAD_NEWTONS);  // the virtual insole sends resistances
    EXPECT_GE(e.decided_index, e.sample_index);
    EXPECT_LE(e.decided_index - e.sample_index, 2u);
    if (i > 0) {
      EXPECT_NE(e.type, rec_.events[i - 1].event.type) << "event " << i;
      EXPECT_GT(e.time_s, rec_.events[i - 1].event.time_s);
    }
    if (e.has_stride) {
      EXPECT_EQ(e.type, TVIS_GAIT_CONTACT);
      EXPECT_DOUBLE_EQ(e.stride.next_contact_s, e.time_s);
    }
  }
  const auto s = strides();
  ASSERT_GE(s.size(), 5u);
  // The virtual walker steps at 108 steps per minute: a stride of 1.11 s.
  for (size_t i = 1; i < s.size(); ++i) {
    EXPECT_NEAR(s[i].stride_s, 120.0 / 108.0, 0.05) << "stride " << i;
    EXPECT_NEAR(s[i].stance_s + s[i].swing_s, s[i].stride_s, 1e-9);
    EXPECT_GT(s[i].stance_s, s[i].swing_s);
    EXPECT_EQ(s[i].flags & TVIS_STRIDE_ACROSS_GAP, 0u);
  }
  EXPECT_TRUE(s[0].flags & TVIS_STRIDE_FIRST_OF_BOUT);
}

TEST_F(GaitLive, DisabledStandingOrOtherDevicesGiveNoEvents) {
  const auto walk = walking_notifications(TVIS_DEVICE_RIGHT, tvis::sim::Activity::Walking, 6);
  feed_all("gait-not-enabled", walk);
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_GT(rec_.pressure_calls, 0);

  ASSERT_EQ(tvis_enable_gait("gait-standing", true), TVIS_OK);
  feed_all("gait-standing", walking_notifications(TVIS_DEVICE_RIGHT, tvis::sim::Activity::Standing, 10));
  EXPECT_TRUE(rec_.events.empty());

  // Disabled after a while: the rest of the walk gives nothing.
  ASSERT_EQ(tvis_enable_gait("gait-switched", true), TVIS_OK);
  const size_t half = walk.size() / 2;
  feed_all("gait-switched", {walk.begin(), walk.begin() + static_cast<std::ptrdiff_t>(half)});
  const size_t before = rec_.events.size();
  EXPECT_GT(before, 0u);
  ASSERT_EQ(tvis_enable_gait("gait-switched", false), TVIS_OK);
  feed_all("gait-switched", {walk.begin() + static_cast<std::ptrdiff_t>(half), walk.end()});
  EXPECT_EQ(rec_.events.size(), before);
  for (const Seen& s : rec_.events) EXPECT_EQ(s.device, "gait-switched");
}

TEST_F(GaitLive, EnablingAgainStartsAfreshWithNoStrideAcrossThePause) {
  const auto walk = walking_notifications(TVIS_DEVICE_LEFT, tvis::sim::Activity::Walking, 12);
  const size_t third = walk.size() / 3;
  ASSERT_EQ(tvis_enable_gait("gait-again", true), TVIS_OK);
  feed_all("gait-again", {walk.begin(), walk.begin() + static_cast<std::ptrdiff_t>(third)});
  ASSERT_EQ(tvis_enable_gait("gait-again", false), TVIS_OK);
  feed_all("gait-again", {walk.begin() + static_cast<std::ptrdiff_t>(third),
                          walk.begin() + static_cast<std::ptrdiff_t>(2 * third)});
  const size_t before = rec_.events.size();
  ASSERT_EQ(tvis_enable_gait("gait-again", true), TVIS_OK);
  feed_all("gait-again", {walk.begin() + static_cast<std::ptrdiff_t>(2 * third), walk.end()});
  ASSERT_GT(rec_.events.size(), before);
  EXPECT_LE(rec_.events[before].event.sample_index, 600u);  // counted from the new start
  bool first_stride = true;
  for (size_t i = before; i < rec_.events.size(); ++i) {
    const TvisGaitEvent& e = rec_.events[i].event;
    if (!e.has_stride) continue;
    EXPECT_GE(e.stride.contact_s, rec_.events[before].event.time_s - 1e-9);
    if (first_stride) {
      EXPECT_TRUE(e.stride.flags & TVIS_STRIDE_FIRST_OF_BOUT);
    }
    first_stride = false;
  }
}

TEST_F(GaitLive, LostFramesMarkTheStrideTheyFellIn) {
  auto walk = walking_notifications(TVIS_DEVICE_LEFT, tvis::sim::Activity::Walking, 12);
  // Frames 600 to 604 never arrive (one notification per frame at 100 Hz):
  // 50 ms in the middle of the walk.
  const size_t lost_at = 600;
  walk.erase(walk.begin() + lost_at, walk.begin() + lost_at + 5);
  ASSERT_EQ(tvis_enable_gait("gait-gap", true), TVIS_OK);
  feed_all("gait-gap", walk);
  const auto s = strides();
  ASSERT_GE(s.size(), 6u);
  int marked = 0;
  for (const TvisGaitStride& st : s) {
    if (!(st.flags & TVIS_STRIDE_ACROSS_GAP)) continue;
    ++marked;
    // The gap's device time lies inside the marked stride.
    EXPECT_LE(st.contact_s, 6.1);
    EXPECT_GE(st.next_contact_s, 6.0);
  }
  EXPECT_EQ(marked, 1);
}

TEST_F(GaitLive, CallbackMayCallTheSdkAndBothFeetKeepTheirOwnTracker) {
  rec_.reenter = true;
  ASSERT_EQ(tvis_enable_gait("gait-pair-left", true), TVIS_OK);
  ASSERT_EQ(tvis_enable_gait("gait-pair-right", true), TVIS_OK);
  const auto left = walking_notifications(TVIS_DEVICE_LEFT, tvis::sim::Activity::Walking, 8, 100, 3);
  const auto right = walking_notifications(TVIS_DEVICE_RIGHT, tvis::sim::Activity::Walking, 8, 100, 4);
  // Interleaved as two radios deliver them.
  for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    if (i < left.size()) capi_test::feed("gait-pair-left", left[i]);
    if (i < right.size()) capi_test::feed("gait-pair-right", right[i]);
  }
  int per_foot[4] = {};
  for (const Seen& s : rec_.events) {
    EXPECT_EQ(s.device, s.event.foot == TVIS_DEVICE_LEFT ? "gait-pair-left" : "gait-pair-right");
    ++per_foot[s.event.foot];
  }
  EXPECT_GT(per_foot[TVIS_DEVICE_LEFT], 6);
  EXPECT_GT(per_foot[TVIS_DEVICE_RIGHT], 6);
}

// Two devices fed from two threads while a third thread toggles gait and
// replaces the callback: nothing races (run under TSan) or deadlocks.
std::atomic<int> g_concurrent_events{0};
void count_gait(const TvisGaitEvent* e, void* user_data) {
  if (std::strcmp(e->device_id, "gait-thread-left") == 0) static_cast<std::atomic<int>*>(user_data)->fetch_add(1);
  tvis_enable_gait(e->device_id, true);
}

TEST(GaitLiveThreads, FeedingTogglingAndReplacingConcurrently) {
  const auto left = walking_notifications(TVIS_DEVICE_LEFT, tvis::sim::Activity::Walking, 6, 100, 11);
  const auto right = walking_notifications(TVIS_DEVICE_RIGHT, tvis::sim::Activity::Walking, 6, 100, 12);
  tvis_enable_gait("gait-thread-left", true);
  tvis_enable_gait("gait-thread-right", true);
  tvis_set_gait_event_callback(count_gait, &g_concurrent_events);
  std::atomic<bool> done{false};
  std::thread toggler([&] {
    for (int i = 0; !done.load(); ++i) {
      tvis_enable_gait("gait-thread-right", i % 3 != 0);
      tvis_set_gait_event_callback(count_gait, &g_concurrent_events);
      tvis_enable_gait(("gait-thread-new-" + std::to_string(i % 50)).c_str(), true);
      std::this_thread::yield();
    }
  });
  std::thread a([&] { for (const Bytes& n : left) capi_test::feed("gait-thread-left", n); });
  std::thread b([&] { for (const Bytes& n : right) capi_test::feed("gait-thread-right", n); });
  a.join();
  b.join();
  done = true;
  toggler.join();
  tvis_set_gait_event_callback(nullptr, nullptr);
  EXPECT_GT(g_concurrent_events.load(), 0);
}

}  // namespace
