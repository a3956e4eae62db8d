// Many devices fed from many threads: 16 threads share 1,000 device ids (each
// id fed by one thread, bytes in order), cut at random, with disconnects in
// and between frames, while another thread keeps replacing the callbacks and
// every callback feeds its frame to the device's twin from inside. Every
// complete frame must reach the pressure callback exactly once, in order,
// under the id it was fed for. Run under TSan too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "capi_support.h"

namespace {

using namespace capi_test;

constexpr int kThreads = 16, kDevices = 1000, kFrames = 30;

// [twin][device]: the last seq_num delivered. A delivery out of order, twice,
// or under another id counts as wrong.
std::unique_ptr<std::atomic<uint32_t>[]> g_last[2];
std::atomic<int> g_wrong{0}, g_calls[2];

// The device index travels in the first pressure value; the id names it too.
Bytes device_frame(int device, uint32_t seq) {
  proto::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.seq_num = seq;
  sd.device_id = device % 2 ? proto::DEVICE_RIGHT : proto::DEVICE_LEFT;
  auto& p = sd.pressure_data.emplace();
  for (int i = 0; i < 48; ++i) p.pressure.push_back(device);
  sd.imu_data.emplace().acc_x = device;
  return frame_of(msg);
}

// Ids are "dev-N" and its twin "twn-N".
template <int Which>
void deliver(const char* id, const TvisPressureSample* s) {
  g_calls[Which]++;
  const int twin = id[0] == 't', device = std::atoi(id + 4);
  if (s->pressure[47] != device || g_last[twin][device].exchange(s->seq_num) + 1 != s->seq_num) {
    g_wrong++;
    return;
  }
  if (!twin) feed("twn-" + std::to_string(device), device_frame(device, s->seq_num));
}

// One thread's share: round-robin over its devices, one random piece at a
// time, so many devices hold partial frames at once.
void feed_share(int thread) {
  std::mt19937 rng(1000 + thread);
  struct Device {
    int index;
    std::string id;
    uint32_t seq = 1;
    Bytes frame;
    size_t sent = 0;  // bytes of frame fed so far
  };
  std::vector<Device> devices;
  for (int d = thread; d < kDevices; d += kThreads)
    devices.push_back({d, "dev-" + std::to_string(d), 1, device_frame(d, 1)});
  for (size_t active = devices.size(); active > 0;) {
    active = 0;
    for (Device& dev : devices) {
      if (dev.seq > kFrames) continue;
      ++active;
      const unsigned roll = rng() % 100;
      if (roll < 3) {  // the link drops: the insole sends the whole frame again
        tvis_on_device_disconnected(dev.id.c_str());
        dev.sent = 0;
        continue;
      }
      const size_t n = std::min<size_t>(1 + rng() % 244, dev.frame.size() - dev.sent);
      tvis_did_receive_data(dev.id.c_str(), dev.frame.data() + dev.sent, n);
      if ((dev.sent += n) < dev.frame.size()) continue;
      dev.sent = 0;
      if (++dev.seq <= kFrames) dev.frame = device_frame(dev.index, dev.seq);
      if (roll < 8) tvis_on_device_disconnected(dev.id.c_str());  // between frames: nothing lost
    }
  }
}

TEST(Concurrency, ThousandDevicesOnSixteenThreadsWhileCallbacksChange) {
  for (auto& last : g_last) last = std::make_unique<std::atomic<uint32_t>[]>(kDevices);
  tvis_set_pressure_callback(deliver<0>);
  std::atomic<bool> done{false};
  std::thread replacer([&] {
    for (bool flip = false; !done; flip = !flip) {
      tvis_set_pressure_callback(flip ? deliver<0> : deliver<1>);
      tvis_set_imu_callback(flip ? nullptr : +[](const char*, const TvisImuSample*) {});
      ByteBuffer b = tvis_build_battery_request(1);
      tvis_free_bytes(b.data, b.len);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(feed_share, t);
  for (auto& th : threads) th.join();
  done = true;
  replacer.join();
  set_recorders(false);

  EXPECT_EQ(g_wrong.load(), 0);
  EXPECT_EQ(g_calls[0] + g_calls[1], 2 * kDevices * kFrames);
  int incomplete = 0;
  for (auto& last : g_last)
    for (int d = 0; d < kDevices; ++d) incomplete += last[d] != kFrames;
  EXPECT_EQ(incomplete, 0);
}

}  // namespace
