// The simulated insole stream as a host sees it through the receive path's
// callbacks: the samples it synthesises and its threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <numeric>
#include <thread>

#include "capi_support.h"
#include "mock/mock_stream.h"

namespace {

using namespace capi_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kGrace = 60ms;  // a stream ends at its next 20 ms tick after a stop

TEST(MockSample, ProfileFollowsTheId) {
  for (const char* id : {"RightFoot", "my-RIGHT-unit", "rIgHt", "1", "3"})
    EXPECT_EQ(tvis::mock::profile_for(id).device_id, 3) << id;
  for (const char* id : {"left", "2", "0", "", "13", "righ", "rig-ht", "RIGH"})
    EXPECT_EQ(tvis::mock::profile_for(id).device_id, 2) << id;
}

class MockStreams : public ::testing::Test {
 protected:
  void SetUp() override { take_events(), set_recorders(true); }
  void TearDown() override {
    tvis_stop_mock_stream();
    std::this_thread::sleep_for(kGrace);
    set_recorders(false);
  }

  // Keeps the events arriving within the period.
  void collect(std::chrono::milliseconds period) {
    std::this_thread::sleep_for(period);
    for (Event& e : take_events()) events.push_back(std::move(e));
  }

  // Sequence numbers of the pressure samples of one device, in arrival order.
  std::vector<uint32_t> seqs(const std::string& id) const {
    std::vector<uint32_t> out;
    for (const Event& e : events)
      if (e.device == id && e.kind == "pressure") out.push_back(e.pressure.seq_num);
    return out;
  }

  static std::vector<uint32_t> one_to(size_t n) {
    std::vector<uint32_t> out(n);
    std::iota(out.begin(), out.end(), 1u);
    return out;
  }

  std::vector<Event> events;
};

TEST_F(MockStreams, FirstFramesOfEachFoot) {
  // clang-format off
  auto imu = [](double foot) {
    return Values{foot, 20, 49, 998, 16384, 0, 0, 0, 49, 998, 16384, 0, 0, 0, 0.48828125, 0.06103515625,
                  23.92578125, 487.3046875, 8000, 0, 0, 0};
  };
  // clang-format on
  const struct { const char* id; Values pressure_head /* channels 0 to 5, and 47 */; Table records; } feet[] = {
      {"StreamLeft", {549, 647, 739, 822, 891, 945, 462},
       {{1, 20, 48, 0}, {1, 20, 229, 321, 382, 397, 359, 281}, imu(2), {2, 95, 4100, 0}}},
      {"StreamRight", {782, 858, 920, 966, 992, 999, 227},
       {{1, 20, 48, 0}, {1, 20, 286, 362, 398, 380, 316, 224}, imu(3), {3, 91, 4070, 0}}},
  };
  for (const auto& f : feet) tvis_start_mock_stream(f.id);
  for (auto until = Clock::now() + 3s;
       (seqs("StreamLeft").size() < 2 || seqs("StreamRight").size() < 2) && Clock::now() < until;)
    collect(10ms);
  for (const auto& f : feet) {
    SCOPED_TRACE(f.id);
    std::vector<Event> first;
    for (const Event& e : events)
      if (e.device == f.id && first.size() < 4) first.push_back(e);
    ASSERT_EQ(kinds(first), (Strings{"pressure", "shear", "imu", "battery"}));
    EXPECT_EQ(fields(first), f.records);
    const int32_t* p = first[0].pressure.pressure;
    EXPECT_EQ(vals(p[0], p[1], p[2], p[3], p[4], p[5], p[47]), f.pressure_head);
  }
}

// One stream per id, whatever the number of starts (a running one goes on
// undisturbed); ids run side by side; a stop ends them all. NULL and invalid
// ids start nothing.
TEST_F(MockStreams, OneStreamPerIdUntilStopped) {
  tvis_start_mock_stream("twice");
  tvis_start_mock_stream("other");
  collect(200ms);
  tvis_start_mock_stream("twice");
  for (const char* refused : {static_cast<const char*>(nullptr), "\xFF\xFE", "ok\xC0\x80"})
    tvis_start_mock_stream(refused);
  collect(200ms);
  tvis_stop_mock_stream();
  collect(kGrace);
  for (const Event& e : events) EXPECT_TRUE(e.device == "twice" || e.device == "other") << e.device;
  for (const char* id : {"twice", "other"}) {
    const auto got = seqs(id);
    EXPECT_EQ(got, one_to(got.size())) << id;
    EXPECT_TRUE(got.size() >= 10 && got.size() <= 24) << id << ": " << got.size();  // about 50 frames per second
  }
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(take_events().empty());
  tvis_stop_mock_stream();  // nothing running: harmless
}

// A stop followed at once by a start leaves exactly one stream, which starts
// over at 1. The old one may still deliver the frame it was working on.
TEST_F(MockStreams, RestartAfterStopRunsOneFreshStream) {
  tvis_start_mock_stream("again");
  for (auto until = Clock::now() + 2s; seqs("again").size() < 5 && Clock::now() < until;) collect(10ms);
  tvis_stop_mock_stream();
  tvis_start_mock_stream("again");
  collect(300ms);

  std::vector<uint32_t> got = seqs("again");
  // Drop the old stream's run 1, 2, 3, ... and at most one late frame of it.
  size_t old_run = 1;
  while (old_run < got.size() && got[old_run] == old_run + 1) ++old_run;
  ASSERT_GE(old_run, 5u);
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(old_run));
  const auto window = got.begin() + std::min<std::ptrdiff_t>(2, std::ssize(got));
  if (auto late = std::find(got.begin(), window, old_run + 1); late != window) got.erase(late);
  EXPECT_GE(got.size(), 8u);
  EXPECT_EQ(got, one_to(got.size()));
}

}  // namespace
