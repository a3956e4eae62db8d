// A C host drives virtual insoles end to end: frames from the C builders and
// the SDK's update worker go through the BLE write callback to insoles on a
// runner thread; what they send comes back through tvis_did_receive_data to
// the callbacks. SimDfu cases run the worker's waits and the insoles' clock
// ten times fast; SimCHost cases run on real timings.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "dfu/timing.h"
#include "insole.pb.h"
#include "protocol/frame.h"
#include "sim/runner.h"
#include "trova_insole_sdk.h"

namespace {

namespace sim = tvis::sim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

struct Seen {
  std::vector<std::string> reports;  // "stage message percentage"
  int terminals = 0;
  std::vector<uint32_t> chunk_offsets;
  std::vector<uint32_t> pressure_seq;
  std::vector<float> acc_z_mg;
  std::string fw_version;
  int device_id = 0, raw_counts = 0;
};

// Never destroyed: update threads are detached and may report late.
std::mutex& g_mutex = *new std::mutex;
std::map<std::string, Seen>& g_seen = *new std::map<std::string, Seen>;
sim::Runner* g_runner = nullptr;

template <class F>
void note(const char* id, F f) {
  std::lock_guard lock(g_mutex);
  f(g_seen[id]);
}

void on_write(const char* id, const uint8_t* data, size_t len) {
  auto frame = tvis::protocol::decode_frame({data, len});
  insole_ref::InsoleReq req;
  if (frame && req.ParseFromArray(frame->frame.payload.data(), static_cast<int>(frame->frame.payload.size())) &&
      req.has_ota_data())
    note(id, [&](Seen& s) { s.chunk_offsets.push_back(req.ota_data().offset()); });
  if (g_runner) g_runner->write(id, {data, len});
}

void on_progress(const char* id, const TvisDfuProgress* p) {
  std::ostringstream line;
  line << p->state << " " << p->message << " " << p->percentage;
  note(id, [&](Seen& s) {
    s.reports.push_back(line.str());
    s.terminals += p->state >= 6;
  });
}

void on_pressure(const char* id, const TvisPressureSample* p) {
  note(id, [&](Seen& s) {
    s.pressure_seq.push_back(p->seq_num);
    s.raw_counts = p->raw_pressure_count;
  });
}
void on_imu(const char* id, const TvisImuSample* m) { note(id, [&](Seen& s) { s.acc_z_mg.push_back(m->acc_z_mg); }); }
void on_info(const char* id, const TvisDeviceInfo* i) {
  note(id, [&](Seen& s) {
    s.fw_version = i->fw_version;
    s.device_id = i->device_id;
  });
}

Seen seen(const std::string& id) {
  std::lock_guard lock(g_mutex);
  return g_seen[id];
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

Bytes image_of(size_t n, const std::string& version = "") {
  Bytes image(n);
  for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>(i * 31 + i / 251);
  const std::string marker = version.empty() ? "" : "VERSION=" + version + '\n';
  for (size_t i = 0; i < marker.size() && 16 + i < n; ++i) image[16 + i] = static_cast<uint8_t>(marker[i]);
  return image;
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(g_mutex);
      g_seen.clear();
    }
    tvis::dfu::time_scale() = 1.0 / speed();
    runner_ = std::make_unique<sim::Runner>(
        sim::Runner::Sinks{[](const std::string& id, std::span<const uint8_t> b) {
                             tvis_did_receive_data(id.c_str(), b.data(), b.size());
                           },
                           [](const std::string& id, bool up) {
                             if (!up) tvis_on_device_disconnected(id.c_str());
                           }},
        speed());
    g_runner = runner_.get();
    runner_->start();
    tvis_set_ble_write_callback(on_write);
    tvis_set_dfu_progress_callback(on_progress);
    tvis_set_pressure_callback(on_pressure);
    tvis_set_imu_callback(on_imu);
    tvis_set_device_info_callback(on_info);
  }

  // Every update ends with exactly one terminal report, even a while later.
  void TearDown() override {
    for (const auto& [id, n] : updates_) {
      EXPECT_TRUE(wait_for([&] { return seen(id).terminals >= n; }, 10s)) << id;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(1500 / speed())));
    for (const auto& [id, n] : updates_) EXPECT_EQ(seen(id).terminals, n) << id;
    tvis_set_ble_write_callback(nullptr);
    tvis_set_dfu_progress_callback(nullptr);
    runner_->stop();
    g_runner = nullptr;
    tvis::dfu::time_scale() = 1.0;
  }

  virtual double speed() const { return 10.0; }

  void update(const std::string& id, sim::Config config, const Bytes& image) {
    config.name = id;
    runner_->add(id, std::move(config));
    start_dfu(id, image);
  }
  void start_dfu(const std::string& id, const Bytes& image) {
    ++updates_[id];
    ASSERT_EQ(tvis_start_dfu(id.c_str(), image.data(), image.size()), 0);
  }

  std::string last_report(const std::string& id, std::chrono::milliseconds timeout = 10s) {
    EXPECT_TRUE(wait_for([&] { return seen(id).terminals > 0; }, timeout)) << id;
    for (const std::string& r : seen(id).reports)
      if (r[0] >= '6') return r;
    return {};
  }

  struct View {
    bool connected = false;
    std::string fw_version;
    uint64_t updates = 0;
  };
  View device(const std::string& id) {
    View v;
    runner_->with(id, [&](sim::VirtualInsole& insole) {
      v.connected = insole.connected();
      v.fw_version = insole.device_info().fw_version;
      v.updates = insole.stats().updates_completed;
    });
    return v;
  }

  void send(const std::string& id, ByteBuffer frame) {
    ASSERT_NE(frame.data, nullptr);
    runner_->write(id, {frame.data, frame.len});
    tvis_free_bytes(frame.data, frame.len);
  }

  std::unique_ptr<sim::Runner> runner_;
  std::map<std::string, int> updates_;  // updates started per insole
};

class SimDfu : public Host {};

// Images of one byte, one chunk, one chunk and a byte, and 300 KiB update an
// insole each: every chunk asked for once, and back from its reboot the
// insole runs the image's version.
TEST_F(SimDfu, ImagesOfEverySize) {
  const size_t sizes[] = {1, 512, 513, 300 * 1024};
  for (size_t n : sizes) update("size" + std::to_string(n), {}, image_of(n, n > 100 ? "4.5." + std::to_string(n) : ""));
  for (size_t n : sizes) {
    const std::string id = "size" + std::to_string(n);
    EXPECT_EQ(last_report(id, 30s), "6 Upgrade completed successfully! 100") << id;
    std::vector<uint32_t> want;
    for (uint32_t at = 0; at < n; at += 512) want.push_back(at);
    EXPECT_EQ(seen(id).chunk_offsets, want) << id;
    EXPECT_TRUE(wait_for([&] { return device(id).connected; }, 2s));
    EXPECT_EQ(device(id).fw_version, n > 100 ? "4.5." + std::to_string(n) : sim::VirtualInsole::version_of_image(image_of(1)));
    EXPECT_EQ(device(id).updates, 1u);
  }
}

struct FaultCase {
  const char* name;
  std::function<void(sim::Config&)> set;
  const char* end;
  bool booted_new = false;
};

// Under each fault the update ends once, in the state the fault leads to,
// with the last upload percentage; the insole boots the new image only
// after a verified update and a reboot it lived through.
TEST_F(SimDfu, EachFaultEndsOnceInTheRightState) {
  const char* timeout = "7 Timeout waiting for OTA response ";
  const std::vector<FaultCase> cases = {
      {"lost_handshake_answer", [](sim::Config& c) { c.faults.lose_ota_answer = 1; }, "7 Timeout waiting for OTA response 0"},
      {"lost_chunk_answer", [](sim::Config& c) { c.faults.lose_ota_answer = 3; }, "51.2"},
      {"corrupt_chunk_once", [](sim::Config& c) { c.faults.corrupt_chunk = 2; }, "6 Upgrade completed successfully! 100", true},
      {"corrupt_chunk_thrice",
       [](sim::Config& c) {
         c.faults.corrupt_chunk = 2;
         c.faults.corrupt_chunk_count = 3;
       },
       "7 OTA failed with error code: 2 51.2"},
      {"drop_in_handshake", [](sim::Config& c) { c.faults.disconnect_in_ota = sim::OtaStage::Handshake; }, "0"},
      {"drop_in_upload", [](sim::Config& c) { c.faults.disconnect_in_ota = sim::OtaStage::Upload; }, "76.8"},
      {"drop_in_verify", [](sim::Config& c) { c.faults.disconnect_in_ota = sim::OtaStage::Verify; }, "100"},
      // The worker cannot tell: it reports success, and the old image runs on.
      {"drop_in_reboot", [](sim::Config& c) { c.faults.disconnect_in_ota = sim::OtaStage::Reboot; },
       "6 Upgrade completed successfully! 100"},
      {"refused", [](sim::Config& c) { c.faults.refuse_update = 5; }, "7 OTA failed with error code: 5 0"},
      {"busy", [](sim::Config& c) { c.faults.refuse_update = 7; }, "7 OTA failed with error code: 7 0"},
      {"flat_battery", [](sim::Config& c) { c.battery_pct = 12; }, "7 OTA failed with error code: 6 0"},
      {"too_large", [](sim::Config& c) { c.max_image_size = 1999; }, "7 OTA failed with error code: 4 0"},
      {"slow", [](sim::Config& c) { c.faults.ota_answer_delay_ms = 400; }, "6 Upgrade completed successfully! 100", true},
      {"too_slow", [](sim::Config& c) { c.faults.ota_answer_delay_ms = 20000; }, "0"},
  };
  for (const FaultCase& f : cases) {
    sim::Config c;
    f.set(c);
    update(f.name, c, image_of(2000, "7.7.7"));
  }
  for (const FaultCase& f : cases) {
    std::string want = f.end;
    if (isdigit(want[0]) && want.size() <= 4) want = timeout + want;
    EXPECT_EQ(last_report(f.name), want) << f.name;
    EXPECT_TRUE(wait_for([&] { return device(f.name).connected; }, 3s)) << f.name;
    EXPECT_EQ(device(f.name).fw_version, f.booted_new ? "7.7.7" : "1.0.0") << f.name;
  }
  const auto resent = seen("corrupt_chunk_once").chunk_offsets;
  EXPECT_EQ(resent, (std::vector<uint32_t>{0, 512, 512, 1024, 1536}));
}

// An update the host aborts leaves the insole waiting; the next update's
// handshake starts over and completes.
TEST_F(SimDfu, AbortedUpdateThenAFreshOne) {
  sim::Config c;
  c.faults.ota_answer_delay_ms = 100;
  update("again", c, image_of(20000));
  ASSERT_TRUE(wait_for([] { return seen("again").chunk_offsets.size() >= 3; }, 5s));
  EXPECT_EQ(tvis_abort_dfu("again"), 0);
  EXPECT_TRUE(wait_for([] { return seen("again").terminals == 1; }, 2s));
  EXPECT_EQ(last_report("again").substr(0, 24), "8 OTA Aborted by device ");
  std::this_thread::sleep_for(100ms);
  start_dfu("again", image_of(3000, "8.0.1"));
  EXPECT_TRUE(wait_for([] { return seen("again").terminals == 2; }, 10s));
  EXPECT_EQ(seen("again").reports.back(), "6 Upgrade completed successfully! 100");
  EXPECT_TRUE(wait_for([&] { return device("again").fw_version == "8.0.1"; }, 2s));
}

class SimCHost : public Host {
  double speed() const override { return 1.0; }
};

// A pair on real time: the C builders ask for identity and a 50 Hz stream,
// the callbacks get the right foot for each insole, every sample in order
// (raw pressure, as the standard configuration asks) and 1 g standing.
TEST_F(SimCHost, BuildersDriveAPairThroughTheReceivePath) {
  sim::Config right;
  right.identity.foot = 3;
  runner_->add("host-left", {});
  runner_->add("host-right", right);
  for (const auto& [id, dest] : {std::pair{"host-left", 2}, std::pair{"host-right", 3}}) {
    send(id, tvis_build_device_info_request_with_dest(1, static_cast<uint8_t>(dest)));
    send(id, tvis_build_enable_sensor_stream_request_with_dest(2, 50, static_cast<uint8_t>(dest)));
  }
  std::this_thread::sleep_for(1s);
  for (const auto& [id, foot] : {std::pair{"host-left", 2}, std::pair{"host-right", 3}}) {
    const Seen s = seen(id);
    EXPECT_EQ(s.device_id, foot);
    EXPECT_EQ(s.fw_version, "1.0.0");
    EXPECT_NEAR(static_cast<double>(s.pressure_seq.size()), 50, 4) << id;
    for (size_t i = 0; i < s.pressure_seq.size(); ++i) EXPECT_EQ(s.pressure_seq[i], i + 1);
    EXPECT_EQ(s.raw_counts, 48);
    for (float z : s.acc_z_mg) EXPECT_NEAR(z, 1000, 15);
  }
}

// The one update on real timings: the worker's own waits, the insole's
// verify and reboot, then the new version through the device-info callback.
TEST_F(SimCHost, FirmwareUpdateOnRealTimings) {
  update("real", {}, image_of(3000, "2.0.0"));
  EXPECT_EQ(last_report("real", 15s), "6 Upgrade completed successfully! 100");
  ASSERT_TRUE(wait_for([&] { return device("real").connected; }, 3s));
  send("real", tvis_build_device_info_request(9));
  EXPECT_TRUE(wait_for([] { return seen("real").fw_version == "2.0.0"; }, 1s));
}

}  // namespace
