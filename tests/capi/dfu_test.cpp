// Firmware updates against a scripted insole: every request the update writes
// is decoded as the insole would read it, and the answers go back through the
// receive path. The Dfu cases shrink the update's waits tenfold; the
// DfuRealTime cases, with the simulated peer, run on the SDK's own timings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "c/ota_waiter.h"
#include "capi_support.h"
#include "dfu/timing.h"

namespace {

using namespace std::chrono_literals;
using capi_test::Bytes;
namespace proto = tvis::protocol;
using Clock = std::chrono::steady_clock;
using Answer = std::optional<proto::OtaResp>;
using Script = std::function<Answer(const proto::InsoleReq&)>;
using Strings = std::vector<std::string>;

struct Written {
  std::string device;
  proto::InsoleReq req;
};

struct Report {
  std::string device;
  int32_t state = -1;
  double percentage = 0, speed_kbps = 0, eta_secs = 0;
  std::string message;
  Clock::time_point at;
};

// What the host saw, in order. Never destroyed: update threads are detached.
struct Host {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Written> writes;
  std::vector<Report> reports;
  Script script;  // answers given from inside the write callback
};

Host& host() {
  static Host* h = new Host;
  return *h;
}

bool any_update_started = false;  // earlier in this process

uint32_t reference_crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void answer(const std::string& device, int32_t state, uint32_t offset, int32_t result = 0) {
  proto::InsoleResp msg;
  msg.ota_resp = proto::OtaResp{state, offset, result};
  capi_test::feed(device, capi_test::frame_of(msg));
}

void on_write(const char* device, const uint8_t* data, size_t len) {
  auto frame = proto::decode_frame({data, len});
  ASSERT_TRUE(frame && frame->crc_ok());
  auto req = proto::decode_insole_req(frame->frame.payload);
  ASSERT_TRUE(req);
  EXPECT_EQ(frame->frame.header, (proto::FrameHeader{2, 0x21, 1, 2, 0}));
  EXPECT_EQ(req->timestamp_ms, 0u);
  Script script;
  {
    std::lock_guard lock(host().mutex);
    host().writes.push_back({device, *req});
    script = host().script;
  }
  host().changed.notify_all();
  if (Answer a = script ? script(*req) : std::nullopt) answer(device, a->state, a->offset, a->result);
}

void on_progress(const char* device, const TvisDfuProgress* p) {
  {
    std::lock_guard lock(host().mutex);
    host().reports.push_back({device, p->state, p->percentage, p->speed_kbps, p->eta_secs, p->message, Clock::now()});
  }
  host().changed.notify_all();
}

bool terminal(const Report& r) { return r.state >= 6; }

template <class T>
std::vector<T> of_device(const std::vector<T>& all, const std::string& device) {
  std::vector<T> out;
  for (const T& x : all)
    if (x.device == device) out.push_back(x);
  return out;
}

// Waits until the device has more than n writes / reports / terminal reports.
template <class Count>
void wait_past(Count count, size_t n, std::chrono::milliseconds timeout = 5s) {
  std::unique_lock lock(host().mutex);
  if (!host().changed.wait_for(lock, timeout, [&] { return count() > n; })) ADD_FAILURE() << "waited in vain";
}

std::vector<Written> writes(const std::string& device) {
  std::lock_guard lock(host().mutex);
  return of_device(host().writes, device);
}

std::vector<Report> reports(const std::string& device) {
  std::lock_guard lock(host().mutex);
  return of_device(host().reports, device);
}

size_t terminals(const std::vector<Report>& rs) {
  return static_cast<size_t>(std::count_if(rs.begin(), rs.end(), terminal));
}

void await_request(const std::string& device, size_t n) {
  wait_past([&] { return of_device(host().writes, device).size(); }, n);
}

// The device's n-th terminal report (1-based).
Report await_terminal(const std::string& device, size_t n = 1, std::chrono::milliseconds timeout = 5s) {
  wait_past([&] { return terminals(of_device(host().reports, device)); }, n - 1, timeout);
  for (const Report& r : reports(device))
    if (terminal(r) && --n == 0) return r;
  return {};
}

// "stage message percentage" of each report.
Strings steps(const std::vector<Report>& rs) {
  Strings out;
  for (const Report& r : rs) {
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.10g", r.percentage);
    out.push_back(std::to_string(r.state) + " " + r.message + " " + pct);
  }
  return out;
}

Strings preamble_and(const Strings& rest) {
  Strings out = {"0 Loading firmware... 0", "1 Calculating CRC32 checksum... 0", "2 Initiating OTA handshake... 0"};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

bool registered(const std::string& device) {
  auto& registry = tvis::c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  return registry.map.find(device) != registry.map.end();
}

Bytes image_of(size_t n) {
  Bytes image(n);
  for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return image;
}

proto::InsoleReq ota_cmd(uint32_t msg_id, int32_t cmd, uint32_t size = 0, uint32_t crc = 0) {
  proto::InsoleReq req;
  req.msg_id = msg_id;
  req.ota_req = proto::OtaReq{cmd, size, crc, {}, 0, 0};
  return req;
}

proto::InsoleReq chunk(uint32_t msg_id, const Bytes& image, uint32_t offset, uint32_t seq) {
  const size_t end = std::min(image.size(), size_t{offset} + 512);
  Bytes data(image.begin() + offset, image.begin() + static_cast<std::ptrdiff_t>(end));
  proto::InsoleReq req;
  req.msg_id = msg_id;
  req.ota_data = proto::OtaData{offset, data, end == image.size(), seq, reference_crc32(data)};
  return req;
}

void expect_requests(const std::vector<Written>& got, const std::vector<proto::InsoleReq>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].req, want[i]) << "request " << i;
}

class Dfu : public ::testing::Test {
 protected:
  static constexpr double kScale = 0.1;
  static constexpr auto kAnswerWait = 500ms;  // the 5-second wait for an answer, scaled

  void SetUp() override {
    {
      std::lock_guard lock(host().mutex);
      host().writes.clear();
      host().reports.clear();
      host().script = nullptr;
    }
    first_in_process_ = !any_update_started;
    tvis::dfu::time_scale() = scale();
    tvis_set_ble_write_callback(on_write);
    tvis_set_dfu_progress_callback(on_progress);
  }

  // Each update ends with exactly one terminal report and then leaves the
  // registry.
  void TearDown() override {
    for (const auto& [device, count] : started_) {
      for (auto until = Clock::now() + 3s; registered(device) && Clock::now() < until;)
        std::this_thread::sleep_for(5ms);
      EXPECT_FALSE(registered(device)) << device;
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(terminals(reports(device)), count) << device;
    }
    tvis_set_ble_write_callback(nullptr);
    tvis_set_dfu_progress_callback(nullptr);
    tvis::dfu::time_scale() = 1.0;
  }

  virtual double scale() const { return kScale; }

  std::string device(const std::string& suffix = "") const {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
  }

  void start(const std::string& device, const Bytes& image) {
    ASSERT_EQ(tvis_start_dfu(device.c_str(), image.data(), image.size()), 0);
    any_update_started = true;
    ++started_[device];
  }

  // The msg_id counter is shared by every update of the process and starts
  // at 100.
  uint32_t first_msg_id() {
    std::lock_guard lock(host().mutex);
    return first_in_process_ || host().writes.empty() ? 100 : host().writes.front().req.msg_id;
  }

  static void script(Script s) {
    std::lock_guard lock(host().mutex);
    host().script = std::move(s);
  }

  std::map<std::string, size_t> started_;
  bool first_in_process_ = true;
};

class DfuRealTime : public Dfu {
  double scale() const override { return 1.0; }
};

TEST_F(Dfu, ThousandByteImageRunsToCompletion) {
  const Bytes image = image_of(1000);
  const std::string dev = device();
  start(dev, image);
  const std::pair<int32_t, uint32_t> answers[] = {
      {proto::DOWNLOADING, 0}, {proto::DOWNLOADING, 512}, {proto::DOWNLOADING, 1000}};
  for (size_t i = 0; i < 3; ++i) {
    await_request(dev, i);
    answer(dev, answers[i].first, answers[i].second);
  }
  await_request(dev, 3);
  answer(dev, proto::VERIFYING, 1000);
  wait_past([&] { return of_device(host().reports, dev).size(); }, 6);
  answer(dev, proto::REBOOTING, 1000);
  await_terminal(dev);

  const uint32_t m = first_msg_id();
  expect_requests(writes(dev), {ota_cmd(m, proto::OTA_CMD_START, 1000, reference_crc32(image)),
                                chunk(m + 1, image, 0, 1), chunk(m + 2, image, 512, 2),
                                ota_cmd(m + 3, proto::OTA_CMD_VERIFY), ota_cmd(m + 4, proto::OTA_CMD_REBOOT)});
  const auto rs = reports(dev);
  EXPECT_EQ(steps(rs),
            preamble_and({"3 Uploading offset: 0 51.2", "3 Uploading offset: 512 100",
                          "4 Firmware upload complete. Verifying... 100", "4 Verifying image on device... 100",
                          "5 Verification success. Rebooting device... 100", "6 Upgrade completed successfully! 100"}));
  ASSERT_EQ(rs.size(), 9u);
  for (const Report& r : rs) EXPECT_EQ(r.speed_kbps > 0, r.state == 3) << r.message;
  EXPECT_GT(rs[3].eta_secs, 0);
  EXPECT_EQ(rs[4].eta_secs, 0);                       // nothing left after the last chunk
  EXPECT_GE(rs[8].at - rs[7].at, 0.9 * kScale * 1s);  // the reboot pause
}

// Answers given from inside the write callback: the insole asks for the same
// offset twice and then reports the download finished on its own.
TEST_F(Dfu, RepeatedOffsetIsSentAgainWithNextSeq) {
  const Bytes image = image_of(1000);
  const std::string dev = device();
  script([](const proto::InsoleReq& req) -> Answer {
    static const proto::OtaResp after_chunk[] = {
        {proto::DOWNLOADING, 0, 0}, {proto::DOWNLOADING, 512, 0}, {proto::DOWNLOAD_FINISHED, 1000, 0}};
    if (req.ota_data) return req.ota_data->seq <= 3 ? Answer(after_chunk[req.ota_data->seq - 1]) : std::nullopt;
    if (req.ota_req->cmd == proto::OTA_CMD_START) return proto::OtaResp{proto::DOWNLOADING, 0, 0};
    if (req.ota_req->cmd == proto::OTA_CMD_VERIFY) return proto::OtaResp{proto::REBOOTING, 1000, 0};
    return std::nullopt;
  });
  start(dev, image);
  await_terminal(dev);

  const uint32_t m = first_msg_id();
  expect_requests(writes(dev), {ota_cmd(m, proto::OTA_CMD_START, 1000, reference_crc32(image)),
                                chunk(m + 1, image, 0, 1), chunk(m + 2, image, 0, 2), chunk(m + 3, image, 512, 3),
                                ota_cmd(m + 4, proto::OTA_CMD_VERIFY), ota_cmd(m + 5, proto::OTA_CMD_REBOOT)});
  EXPECT_EQ(steps(reports(dev)),
            preamble_and({"3 Uploading offset: 0 51.2", "3 Uploading offset: 0 51.2", "3 Uploading offset: 512 100",
                          "4 Verifying firmware image... 100", "5 Verification success. Rebooting device... 100",
                          "6 Upgrade completed successfully! 100"}));
}

// After the first chunk, one answer (or an abort by the host) ends the update
// with the last upload percentage, and nothing more is written.
TEST_F(Dfu, FailureAndAbortEndTheUpdate) {
  const struct {
    const char* name;
    Answer resp;  // none: the host aborts
    const char* end;
  } cases[] = {
      {"error", proto::OtaResp{proto::DOWNLOADING, 512, 2}, "7 OTA failed with error code: 2 51.2"},
      {"error_before_state", proto::OtaResp{proto::REBOOTING, 1000, -3}, "7 OTA failed with error code: -3 51.2"},
      {"state0", proto::OtaResp{0, 512, 0}, "7 Invalid OTA state received 51.2"},
      {"state6", proto::OtaResp{6, 512, 0}, "7 Invalid OTA state received 51.2"},
      {"device_abort", proto::OtaResp{proto::ABORT, 0, 0}, "8 OTA Aborted by device 51.2"},
      {"host_abort", std::nullopt, "8 OTA Aborted by device 51.2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dev = device(c.name);
    start(dev, image_of(1000));
    await_request(dev, 0);
    answer(dev, proto::DOWNLOADING, 0);
    await_request(dev, 1);
    if (c.resp) {
      answer(dev, c.resp->state, c.resp->offset, c.resp->result);
    } else {
      EXPECT_EQ(tvis_abort_dfu("no update here"), 0);
      EXPECT_EQ(tvis_abort_dfu(dev.c_str()), 0);
    }
    EXPECT_EQ(steps({await_terminal(dev)}), Strings{c.end});
    EXPECT_EQ(writes(dev).size(), 2u);
  }
}

// Each answer opens a fresh wait; silence for one whole wait ends the update.
TEST_F(Dfu, SilenceTimesOut) {
  const std::string dev = device();
  start(dev, image_of(1000));
  await_request(dev, 0);
  answer(dev, proto::DOWNLOADING, 0);
  await_request(dev, 1);
  Clock::time_point last;
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(kAnswerWait * 6 / 10);
    last = Clock::now();
    answer(dev, proto::VERIFYING, 512);
  }
  const Report end = await_terminal(dev);
  EXPECT_EQ(steps({end}), Strings{"7 Timeout waiting for OTA response 51.2"});
  EXPECT_GE(end.at - last, kAnswerWait * 95 / 100);
}

// A second update for the same device takes over its answers; when the first
// one gives up it must leave the second one's mailbox in place.
TEST_F(Dfu, SecondUpdateForSameDeviceCompletes) {
  const Bytes image = image_of(1000);
  const std::string dev = device();
  start(dev, image);  // never answered
  await_request(dev, 0);
  std::this_thread::sleep_for(kAnswerWait / 2);
  start(dev, image);
  await_request(dev, 1);
  answer(dev, proto::DOWNLOADING, 0);
  await_request(dev, 2);

  EXPECT_EQ(await_terminal(dev).message, "Timeout waiting for OTA response");
  std::this_thread::sleep_for(kAnswerWait / 5);  // the first update's thread ends
  answer(dev, proto::DOWNLOADING, 512);
  await_request(dev, 3);
  answer(dev, proto::REBOOTING, 1000);
  EXPECT_EQ(await_terminal(dev, 2).message, "Upgrade completed successfully!");

  const auto got = writes(dev);
  ASSERT_EQ(got.size(), 5u);
  const uint32_t m = first_msg_id();
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].req.msg_id, m + i) << i;  // one counter for all
  EXPECT_EQ(got[4].req.ota_req->cmd, proto::OTA_CMD_REBOOT);
}

TEST_F(Dfu, RefusedArgumentsStartNothing) {
  const uint8_t byte = 1;
  EXPECT_EQ(tvis_start_dfu(nullptr, &byte, 1), -1);
  EXPECT_EQ(tvis_start_dfu("d", &byte, 0), -1);
  EXPECT_EQ(tvis_start_dfu("\xC3\x28", &byte, 1), -2);
  EXPECT_EQ(tvis_abort_dfu(nullptr), -1);
  EXPECT_EQ(tvis_abort_dfu("\xFF"), -2);
  EXPECT_EQ(tvis_start_mock_dfu(nullptr), -1);
  EXPECT_EQ(tvis_start_mock_dfu("\xE2\x82"), -2);
  std::this_thread::sleep_for(100ms);  // longer than loading, at this scale
  std::lock_guard lock(host().mutex);
  EXPECT_TRUE(host().reports.empty());
}

TEST_F(DfuRealTime, WithoutWriteCallbackFailsAfterHandshake) {
  tvis_set_ble_write_callback(nullptr);
  const std::string dev = device();
  const auto t0 = Clock::now();
  start(dev, image_of(10));
  const Report end = await_terminal(dev);
  EXPECT_EQ(steps(reports(dev)), preamble_and({"7 No BLE write callback registered 0"}));
  EXPECT_GE(end.at - t0, 650ms);
  EXPECT_LE(end.at - t0, 1500ms);
}

// The simulated peer, started before the update, drives a 10,240-byte image
// through the whole protocol on its real timetable.
TEST_F(DfuRealTime, MockPeerDrivesFullUpdate) {
  const Bytes image = image_of(10240);
  const std::string dev = device();
  ASSERT_EQ(tvis_start_mock_dfu(dev.c_str()), 0);
  start(dev, image);
  EXPECT_EQ(await_terminal(dev, 1, 15s).message, "Upgrade completed successfully!");

  const uint32_t m = first_msg_id();
  std::vector<proto::InsoleReq> want = {ota_cmd(m, proto::OTA_CMD_START, 10240, reference_crc32(image))};
  Strings want_steps;
  for (uint32_t k = 0; k < 20; ++k) {
    want.push_back(chunk(m + 1 + k, image, 512 * k, k + 1));
    want_steps.push_back("3 Uploading offset: " + std::to_string(512 * k) + " " + std::to_string(5 * (k + 1)));
  }
  want.push_back(ota_cmd(m + 21, proto::OTA_CMD_VERIFY));
  want.push_back(ota_cmd(m + 22, proto::OTA_CMD_REBOOT));
  want_steps.insert(want_steps.end(),
                    {"4 Firmware upload complete. Verifying... 100", "4 Verifying image on device... 100",
                     "5 Verification success. Rebooting device... 100", "6 Upgrade completed successfully! 100"});
  expect_requests(writes(dev), want);
  const auto rs = reports(dev);
  EXPECT_EQ(steps(rs), preamble_and(want_steps));
  ASSERT_EQ(rs.size(), 27u);

  // The peer answers every 150 ms after a 1.5 s pause: about 0.3 to 2.4 KiB/s.
  for (size_t i = 3; i < 23; ++i) {
    EXPECT_GT(rs[i].speed_kbps, 0.2) << i;
    EXPECT_LT(rs[i].speed_kbps, 3.5) << i;
    const double kib_left = (100.0 - rs[i].percentage) / 10.0;
    EXPECT_NEAR(rs[i].eta_secs * rs[i].speed_kbps, kib_left, 1e-6) << i;
  }
  EXPECT_GE(rs[26].at - rs[25].at, 950ms);  // the reboot pause
  EXPECT_LE(rs[26].at - rs[25].at, 1500ms);
}

TEST_F(DfuRealTime, MockPeerWithoutUpdateGivesUpAfterTwoSeconds) {
  const std::string error = "[Rust][ERROR][dfu] Mock DFU failed: OtaWaiter not registered by client DFU thread.";
  Strings early, late;
  {
    capi_test::StdoutCapture out;
    tvis_initialize_logging(3);
    ASSERT_EQ(tvis_start_mock_dfu("lonely peer"), 0);
    std::this_thread::sleep_for(1800ms);
    early = out.lines();
  }
  {
    capi_test::StdoutCapture out;
    std::this_thread::sleep_for(700ms);
    late = out.lines();
  }
  EXPECT_NE(std::find(early.begin(), early.end(), "[Rust][INFO][dfu] Mock DFU thread started for device: lonely peer"),
            early.end());
  EXPECT_EQ(std::find(early.begin(), early.end(), error), early.end());
  EXPECT_EQ(late, Strings{error});
}

}  // namespace
