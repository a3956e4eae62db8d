// Many devices fed from many threads: 16 threads share 1,000 device ids
// (each id fed by one thread, bytes in order), cut at random, with
// disconnects and reconnects in between. Every complete frame must reach the
// pressure callback exactly once, under the id it was fed for.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capi_support.h"

namespace {

using capi_test::Bytes;
namespace proto = tvis::protocol;

constexpr int kThreads = 16;
constexpr int kDevices = 1000;
constexpr int kFramesPerDevice = 30;

// deliveries[device * kFramesPerDevice + seq - 1]
std::unique_ptr<std::atomic<int>[]> g_deliveries;
std::atomic<int> g_misrouted{0};

// The device index travels in the first pressure value; the id names it too.
void count_delivery(const char* device_id, const TvisPressureSample* s) {
  const int device = std::atoi(device_id + 4);  // "dev-N"
  if (s->pressure_count < 1 || s->pressure[0] != device || s->seq_num < 1 || s->seq_num > kFramesPerDevice) {
    g_misrouted.fetch_add(1);
    return;
  }
  g_deliveries[device * kFramesPerDevice + (s->seq_num - 1)].fetch_add(1);
}

Bytes device_frame(int device, uint32_t seq) {
  proto::InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.seq_num = seq;
  sd.device_id = device % 2 ? proto::DEVICE_RIGHT : proto::DEVICE_LEFT;
  auto& p = sd.pressure_data.emplace();
  p.pressure.push_back(device);
  for (int i = 1; i < 48; ++i) p.pressure.push_back((device * 7 + i * 13 + static_cast<int>(seq)) % 1001);
  sd.imu_data.emplace().acc_x = device;
  return capi_test::frame_of(msg);
}

// One thread's share: round-robin over its devices, one random piece at a
// time, so many devices hold partial frames at once.
void feed_share(int thread) {
  std::mt19937 rng(1000 + thread);
  struct Device {
    int index = 0;
    std::string id;
    uint32_t seq = 1;
    Bytes frame;
    size_t sent = 0;
  };
  std::vector<Device> devices;
  for (int d = thread; d < kDevices; d += kThreads) {
    Device dev;
    dev.index = d;
    dev.id = "dev-" + std::to_string(d);
    dev.frame = device_frame(d, 1);
    devices.push_back(std::move(dev));
  }
  size_t active = devices.size();
  while (active > 0) {
    active = 0;
    for (Device& dev : devices) {
      if (dev.seq > kFramesPerDevice) continue;
      ++active;
      const unsigned roll = rng() % 100;
      if (roll < 3) {
        // The link drops: the partial frame is gone, and after reconnecting
        // the insole sends the whole frame again.
        tvis_on_device_disconnected(dev.id.c_str());
        dev.sent = 0;
        continue;
      }
      const size_t n = std::min<size_t>(1 + rng() % 244, dev.frame.size() - dev.sent);
      tvis_did_receive_data(dev.id.c_str(), dev.frame.data() + dev.sent, n);
      dev.sent += n;
      if (dev.sent == dev.frame.size()) {
        dev.sent = 0;
        if (++dev.seq <= kFramesPerDevice) dev.frame = device_frame(dev.index, dev.seq);
        if (roll < 8) tvis_on_device_disconnected(dev.id.c_str());  // between frames: nothing lost
      }
    }
  }
}

TEST(ConcurrencyLoad, SixteenThreadsThousandDevicesEveryFrameOnce) {
  g_deliveries = std::make_unique<std::atomic<int>[]>(kDevices * kFramesPerDevice);
  tvis_set_pressure_callback(count_delivery);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(feed_share, t);
  for (auto& th : threads) th.join();
  tvis_set_pressure_callback(nullptr);

  EXPECT_EQ(g_misrouted.load(), 0);
  int missing = 0, repeated = 0;
  for (int i = 0; i < kDevices * kFramesPerDevice; ++i) {
    missing += g_deliveries[i].load() == 0;
    repeated += g_deliveries[i].load() > 1;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(repeated, 0);
}

}  // namespace
