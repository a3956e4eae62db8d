// Many devices fed from many threads at once, with callbacks being replaced
// meanwhile and callbacks feeding data themselves. Run under TSan too.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>

#include "capi_support.h"

namespace {

using namespace capi_test;

constexpr int kDevices = 6;
constexpr uint32_t kFrames = 300;

struct DeviceCounts {
  std::array<std::atomic<int>, kFrames + 1> hits{};
  std::atomic<uint32_t> last{0};
  std::atomic<bool> out_of_order{false};
};

std::array<DeviceCounts, kDevices> g_outer;
std::array<DeviceCounts, kDevices> g_inner;
std::atomic<int> g_via_a{0}, g_via_b{0};

// Ids are "outer-N" and "inner-N".
void count(const char* id, const TvisPressureSample* s) {
  const std::string_view name(id);
  auto& table = name.starts_with("outer-") ? g_outer : g_inner;
  DeviceCounts& d = table.at(static_cast<size_t>(std::stoi(std::string(name.substr(6)))));
  if (s->seq_num == 0 || s->seq_num > kFrames) {
    d.out_of_order = true;
    return;
  }
  d.hits[s->seq_num]++;
  // One device is fed by one thread, and callbacks run on the feeding
  // thread, so a device's samples arrive in order.
  if (d.last.exchange(s->seq_num) + 1 != s->seq_num) d.out_of_order = true;
}

void count_a(const char* id, const TvisPressureSample* s) {
  g_via_a++;
  count(id, s);
}
void count_b(const char* id, const TvisPressureSample* s) {
  g_via_b++;
  count(id, s);
}

// Feeds the same frame to the device's inner twin from inside the callback.
void count_and_forward(const char* id, const TvisPressureSample* s) {
  count(id, s);
  const std::string_view name(id);
  if (!name.starts_with("outer-")) return;
  const Bytes frame = frame_of(pressure_msg(s->seq_num));
  const std::string inner = "inner-" + std::string(name.substr(6));
  tvis_did_receive_data(inner.c_str(), frame.data(), frame.size());
}

void feed_in_random_chunks(int device, unsigned seed) {
  Bytes stream;
  for (uint32_t seq = 1; seq <= kFrames; ++seq) {
    const Bytes f = frame_of(pressure_msg(seq, device % 2 ? proto::DEVICE_RIGHT : proto::DEVICE_LEFT));
    stream.insert(stream.end(), f.begin(), f.end());
  }
  const std::string id = "outer-" + std::to_string(device);
  std::mt19937 rng(seed);
  for (size_t pos = 0; pos < stream.size();) {
    const size_t n = std::min<size_t>(stream.size() - pos, 1 + rng() % 300);
    tvis_did_receive_data(id.c_str(), stream.data() + pos, n);
    pos += n;
  }
}

void reset_counts() {
  for (auto* table : {&g_outer, &g_inner})
    for (DeviceCounts& d : *table) {
      for (auto& h : d.hits) h = 0;
      d.last = 0;
      d.out_of_order = false;
    }
}

void expect_each_once(const std::array<DeviceCounts, kDevices>& table, const char* name) {
  for (int d = 0; d < kDevices; ++d) {
    EXPECT_FALSE(table[d].out_of_order) << name << d;
    for (uint32_t seq = 1; seq <= kFrames; ++seq) ASSERT_EQ(table[d].hits[seq], 1) << name << d << " seq " << seq;
  }
}

TEST(Concurrency, ManyDevicesWhileCallbacksAreReplaced) {
  reset_counts();
  std::atomic<bool> done{false};
  tvis_set_pressure_callback(count_a);
  std::thread replacer([&] {
    for (bool flip = false; !done; flip = !flip) {
      tvis_set_pressure_callback(flip ? count_a : count_b);
      tvis_set_imu_callback(flip ? nullptr : rec_imu);
      ByteBuffer b = tvis_build_battery_request(1);
      tvis_free_bytes(b.data, b.len);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> feeders;
  for (int d = 0; d < kDevices; ++d) feeders.emplace_back(feed_in_random_chunks, d, 100 + d);
  for (auto& t : feeders) t.join();
  done = true;
  replacer.join();
  clear_callbacks();

  expect_each_once(g_outer, "outer-");
  EXPECT_EQ(g_via_a + g_via_b, kDevices * static_cast<int>(kFrames));
}

TEST(Concurrency, CallbacksFeedOtherDevicesWhileOthersFeed) {
  reset_counts();
  tvis_set_pressure_callback(count_and_forward);
  std::vector<std::thread> feeders;
  for (int d = 0; d < kDevices; ++d) feeders.emplace_back(feed_in_random_chunks, d, 200 + d);
  for (auto& t : feeders) t.join();
  clear_callbacks();

  expect_each_once(g_outer, "outer-");
  expect_each_once(g_inner, "inner-");
}

}  // namespace
