// Firmware updates against a scripted insole: every request the update writes
// is decoded as the insole would read it, and answers go back through the
// receive path. The insole follows a script or misbehaves, the host may abort
// or drop its write callback; whatever happens, each update ends with exactly
// one terminal report and leaves the mailbox registry. Dfu cases shrink the
// waits tenfold; DfuRealTime ones, with the simulated peer, run in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "runtime/ota_waiter.h"
#include "capi_support.h"
#include "dfu/timing.h"

namespace {

using namespace capi_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using proto::OtaResp;

constexpr auto kWait = 500ms;  // the 5-second wait for an answer, at scale 0.1
const std::string kDone = "6 Upgrade completed successfully! 100", kTimeout = "7 Timeout waiting for OTA response ";

// How the insole and the host behave during one update. Without a script the
// insole answers as a sound one does, but for the faults: the handshake and
// each chunk with the next offset wanted, the verify request with REBOOTING.
struct Fault {
  const char* name = "";
  std::vector<OtaResp> script{};  // instead: one answer to each report from the handshake on
  std::vector<double> delays{};   // per answer, in answer waits (the last one repeats); none: from inside the write
  std::string abort_on{};         // the host aborts from inside this progress report
  std::string race_on{};          // another host thread aborts while the insole answers this request
  bool abort_at_once = false;     // the host aborts as soon as the update is started
  std::string clear_on{};         // the host drops its write callback when this request is written...
  std::vector<OtaResp> then{};    // ...and the insole sends these on its own afterwards
  std::string end{};              // the terminal report, or else
  Strings steps{};                // every report after the handshake
  std::optional<size_t> writes{};  // requests written
  size_t image = 1000;            // bytes
};

// A request written, or else a progress report.
struct Seen {
  std::string device{};
  Clock::time_point at{};
  std::optional<proto::InsoleReq> req{};
  int32_t state = -1;  // progress: state, percentage, speed_kbps, eta_secs, message
  double percentage = 0, speed_kbps = 0, eta_secs = 0;
  std::string message{};
};

// What the host saw, the plans of the insoles and the threads delivering
// late answers. Never destroyed: update threads are detached.
struct Host {
  std::mutex mutex;
  std::vector<Seen> seen;
  std::map<std::string, Fault> plans;
  std::map<std::string, std::jthread> couriers;
} &host = *new Host;

std::vector<Seen> seen(const std::string& device, bool requests) {
  std::lock_guard lock(host.mutex);
  std::vector<Seen> out;
  std::copy_if(host.seen.begin(), host.seen.end(), std::back_inserter(out),
               [&](const Seen& s) { return s.device == device && s.req.has_value() == requests; });
  return out;
}
std::vector<Seen> writes(const std::string& device) { return seen(device, true); }
std::vector<Seen> reports(const std::string& device) { return seen(device, false); }

size_t terminals(const std::vector<Seen>& rs) {
  return std::count_if(rs.begin(), rs.end(), [](const Seen& r) { return r.state >= 6; });
}

// Waits until count() exceeds n.
void wait_past(const std::function<size_t()>& count, size_t n, std::chrono::milliseconds timeout = 5s) {
  const auto until = Clock::now() + timeout;
  while (count() <= n && Clock::now() < until) std::this_thread::sleep_for(1ms);
  EXPECT_GT(count(), n) << "waited in vain";
}
void await_writes(const std::string& device, size_t n) { wait_past([&] { return writes(device).size(); }, n); }

// The device's n-th terminal report (1-based).
Seen await_terminal(const std::string& device, size_t n = 1, std::chrono::milliseconds timeout = 5s) {
  wait_past([&] { return terminals(reports(device)); }, n - 1, timeout);
  for (const Seen& r : reports(device))
    if (r.state >= 6 && --n == 0) return r;
  return {};
}

// "stage message percentage" of each report.
Strings steps(const std::vector<Seen>& rs) {
  Strings out;
  for (const Seen& r : rs) {
    std::ostringstream line;
    line << r.state << " " << r.message << " " << r.percentage;
    out.push_back(line.str());
  }
  return out;
}

Strings preamble_and(Strings rest) {
  rest.insert(rest.begin(),
              {"0 Loading firmware... 0", "1 Calculating CRC32 checksum... 0", "2 Initiating OTA handshake... 0"});
  return rest;
}

std::string describe(const proto::InsoleReq& req) {
  if (req.ota_data) return "chunk " + std::to_string(req.ota_data->offset);
  const char* const names[] = {"?", "start", "verify", "reboot"};
  return names[std::clamp(req.ota_req->cmd, 0, 3)];
}

bool registered(const std::string& device) {
  auto& registry = tvis::c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  return registry.map.contains(device);
}

uint32_t reference_crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

Bytes image_of(size_t n) {
  Bytes image(n);
  for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return image;
}

Bytes answer_frame(const OtaResp& resp) {
  proto::InsoleResp msg;
  msg.ota_resp = resp;
  return frame_of(msg);
}

// Feeds the pieces at the due time from a thread of its own, as the radio of
// a late insole would; each delivery for a device waits for the one before.
void deliver_later(const std::string& device, Clock::time_point due, std::vector<Bytes> pieces) {
  std::lock_guard lock(host.mutex);
  std::jthread& slot = host.couriers[device];
  slot = std::jthread([before = std::move(slot), device, due, pieces = std::move(pieces)]() mutable {
    before = {};
    std::this_thread::sleep_until(due);
    for (const Bytes& bytes : pieces) feed(device, bytes);
  });
}

// The n-th answer of the insole: at once, or after its delay.
void send(const std::string& device, const Fault& f, size_t n, const OtaResp& resp) {
  if (f.delays.empty()) return feed(device, answer_frame(resp));
  deliver_later(device, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           f.delays[std::min(n, f.delays.size() - 1)] * kWait), {answer_frame(resp)});
}

// The insole reads every request; with a plan for the device it answers.
void on_write(const char* device, const uint8_t* data, size_t len) {
  auto frame = proto::decode_frame({data, len});
  ASSERT_TRUE(frame && frame->crc_ok());
  EXPECT_EQ(frame->frame.header, (proto::FrameHeader{2, 0x21, 1, 2, 0}));
  auto req = proto::decode_insole_req(frame->frame.payload);
  ASSERT_TRUE(req);
  EXPECT_EQ(req->timestamp_ms, 0u);
  std::optional<Fault> plan;
  const size_t n = writes(device).size();
  {
    std::lock_guard lock(host.mutex);
    host.seen.push_back({.device = device, .at = Clock::now(), .req = *req});
    if (host.plans.contains(device)) plan = host.plans[device];
  }
  if (!plan || !plan->script.empty()) return;
  if (plan->clear_on == describe(*req)) {
    tvis_set_ble_write_callback(nullptr);
    auto due = Clock::now();
    for (const OtaResp& r : plan->then) deliver_later(device, due += kWait / 10, {answer_frame(r)});
  }
  // Joined on return: the abort and the answer land in either order.
  std::jthread racing_abort;
  if (plan->race_on == describe(*req))
    racing_abort = std::jthread([id = std::string(device)] { EXPECT_EQ(tvis_abort_dfu(id.c_str()), 0); });
  if (req->ota_data)
    send(device, *plan, n, {proto::DOWNLOADING, req->ota_data->offset + uint32_t(req->ota_data->data.size()), 0});
  if (req->ota_req && req->ota_req->cmd != proto::OTA_CMD_REBOOT)
    send(device, *plan, n, {req->ota_req->cmd == proto::OTA_CMD_START ? proto::DOWNLOADING : proto::REBOOTING, 0, 0});
}

void on_progress(const char* device, const TvisDfuProgress* p) {
  Fault plan;
  size_t n = 0;  // reports from the handshake on
  {
    std::lock_guard lock(host.mutex);
    host.seen.push_back({device, Clock::now(), {}, p->state, p->percentage, p->speed_kbps, p->eta_secs, p->message});
    for (const Seen& s : host.seen) n += s.device == device && !s.req && s.state >= 2;
    if (host.plans.contains(device)) plan = host.plans[device];
  }
  EXPECT_TRUE(plan.abort_on != p->message || tvis_abort_dfu(device) == 0);
  if (n >= 1 && n <= plan.script.size()) feed(device, answer_frame(plan.script[n - 1]));
}

class Dfu : public ::testing::Test {
 protected:
  void SetUp() override {
    std::unique_lock lock(host.mutex);
    host.seen.clear();
    host.plans.clear();
    lock.unlock();
    tvis::dfu::time_scale() = scale();
    tvis_set_ble_write_callback(on_write);
    tvis_set_dfu_progress_callback(on_progress);
  }

  // Each update ends with exactly one terminal report and then leaves the
  // registry. No msg_id is given twice, and none is below the process's
  // first, 100 (an update aborted as it writes may have drawn an id it then
  // never sends, so the first one written may be later).
  void TearDown() override {
    for (const auto& [device, count] : started_) {
      SCOPED_TRACE(device);
      wait_past([&] { return size_t{!registered(device)}; }, 0, 3s);
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(terminals(reports(device)), count);
    }
    std::lock_guard lock(host.mutex);
    host.couriers.clear();  // joins them
    std::set<uint32_t> ids;
    for (const Seen& s : host.seen) EXPECT_TRUE(!s.req || ids.insert(s.req->msg_id).second) << s.req->msg_id;
    EXPECT_TRUE(!first_of_process_ || ids.empty() || *ids.begin() >= 100u);
    tvis_set_ble_write_callback(nullptr);
    tvis_set_dfu_progress_callback(nullptr);
    tvis::dfu::time_scale() = 1.0;
  }

  virtual double scale() const { return 0.1; }

  void start(const std::string& device, const Bytes& image) {
    static bool any_started = false;
    first_of_process_ |= !std::exchange(any_started, true);
    ASSERT_EQ(tvis_start_dfu(device.c_str(), image.data(), image.size()), 0);
    ++started_[device];
  }

  // The handshake names the image's size and checksum, every chunk (resent or
  // not) carries the image bytes at its offset with seq counting the chunks
  // sent, the rest are bare verify and reboot commands, msg_id ever growing.
  // Speed and time left only while uploading, a pause before the completion,
  // and a timeout one whole wait after the last request.
  void check(const std::string& device, const Bytes& image, const Seen& end) {
    SCOPED_TRACE(device);
    const auto got = writes(device);
    uint32_t seq = 0;
    for (const Seen& w : got) {
      proto::InsoleReq want;
      want.msg_id = w.req->msg_id;
      if (&w == &got[0]) {
        want.ota_req = proto::OtaReq{proto::OTA_CMD_START, uint32_t(image.size()), reference_crc32(image), {}, 0, 0};
      } else if (const auto& d = w.req->ota_data) {
        const Bytes data(image.begin() + d->offset, image.begin() + std::min<size_t>(image.size(), d->offset + 512));
        want.ota_data = proto::OtaData{d->offset, data, d->offset + 512 >= image.size(), ++seq, reference_crc32(data)};
      } else {
        want.ota_req.emplace().cmd =
            w.req->ota_req->cmd == proto::OTA_CMD_VERIFY ? proto::OTA_CMD_VERIFY : proto::OTA_CMD_REBOOT;
      }
      EXPECT_EQ(*w.req, want) << describe(*w.req);
      EXPECT_TRUE(&w == &got[0] || w.req->msg_id > (&w)[-1].req->msg_id);
    }
    const auto rs = reports(device);
    for (size_t i = 0; i < rs.size(); ++i) {
      EXPECT_EQ(rs[i].speed_kbps > 0, rs[i].state == 3) << i;
      EXPECT_EQ(rs[i].eta_secs > 0, rs[i].state == 3 && rs[i].percentage < 100) << i;
      EXPECT_TRUE(rs[i].state != 6 || rs[i].at - rs[i - 1].at >= 0.9 * scale() * 1s) << i;
    }
    EXPECT_TRUE(end.message != "Timeout waiting for OTA response" ||
                (!got.empty() && end.at - got.back().at >= kWait * 95 / 100));
  }

  // Runs the updates side by side or one after the other, and checks how
  // each one ends.
  void run(std::initializer_list<Fault> faults, bool side_by_side = true) {
    for (auto f = faults.begin(); f != faults.end(); ++f) {
      tvis_set_ble_write_callback(on_write);
      std::unique_lock lock(host.mutex);
      host.plans[test_device(f->name)] = *f;
      lock.unlock();
      start(test_device(f->name), image_of(f->image));
      if (f->abort_at_once) {
        EXPECT_EQ(tvis_abort_dfu(test_device(f->name).c_str()), 0);
      }
      if (side_by_side && f + 1 != faults.end()) continue;
      for (auto g = side_by_side ? faults.begin() : f; g <= f; ++g) {
        const std::string dev = test_device(g->name);
        SCOPED_TRACE(dev);
        const Seen end = await_terminal(dev);
        const bool all = !g->steps.empty();
        EXPECT_EQ(steps(all ? reports(dev) : std::vector{end}), all ? preamble_and(g->steps) : Strings{g->end});
        EXPECT_EQ(writes(dev).size(), g->writes.value_or(writes(dev).size()));
        check(dev, image_of(g->image), end);
      }
    }
  }

  std::map<std::string, size_t> started_;
  bool first_of_process_ = false;
};

class DfuRealTime : public Dfu {
  double scale() const override { return 1.0; }
};

// A whole update, a chunk asked for twice and a download the insole declares
// finished; after the first chunk, error codes, unknown states and an abort by
// the insole end the update with the last upload percentage.
TEST_F(Dfu, ScriptedInsole) {
  const std::string up0 = "3 Uploading offset: 0 51.2", up512 = "3 Uploading offset: 512 100";
  const std::string reboot = "5 Verification success. Rebooting device... 100";
  const std::string bad = "7 Invalid OTA state received 51.2", fail = "7 OTA failed with error code: ";
  const OtaResp dl0{proto::DOWNLOADING, 0, 0}, dl512{proto::DOWNLOADING, 512, 0}, reb{proto::REBOOTING, 1000, 0};
  run({
      {.name = "complete",
       .script = {dl0, dl512, {proto::DOWNLOADING, 1000, 0}, {proto::VERIFYING, 1000, 0}, reb},
       .steps = {up0, up512, "4 Firmware upload complete. Verifying... 100", "4 Verifying image on device... 100",
                 reboot, kDone},
       .writes = 5},
      {.name = "repeat_then_finished",
       .script = {dl0, dl0, dl512, {proto::DOWNLOAD_FINISHED, 1000, 0}, reb},
       .steps = {up0, up0, up512, "4 Verifying firmware image... 100", reboot, kDone},
       .writes = 6},
      {.name = "error_first", .script = {dl0, {proto::REBOOTING, 1000, -3}}, .end = fail + "-3 51.2"},
      {.name = "state_idle", .script = {dl0, {proto::IDLE, 512, 0}}, .end = bad, .writes = 2},
      {.name = "device_abort", .script = {dl0, {proto::ABORT, 0, 0}}, .end = "8 OTA Aborted by device 51.2"},
  });
}

// A 1000-byte image takes five requests: start, two chunks, verify, reboot.
// Every wait for an answer starts afresh; an answer after the timeout finds
// nobody. Updates of different insoles keep to their own answers and images.
TEST_F(Dfu, InsoleAnswersLate) {
  run({
      {.name = "each_answer_just_in_time", .delays = {0.6}, .end = kDone, .writes = 5},
      {.name = "second_answer_too_late", .delays = {0.1, 1.5}, .end = kTimeout + "51.2", .writes = 2},
      {.name = "larger_image", .delays = {0.05}, .end = kDone, .writes = 9, .image = 3000},
  });
}

// An abort at any moment from the start on ends the update with the last
// upload percentage, and nothing more is sent but a request already on its
// way: an abort from the report before a verify or reboot request keeps that
// request back. No answer of the insole, before or after it, undoes the abort; an
// abort of a device without an update leaves nothing behind for a later one.
TEST_F(Dfu, HostAbortsAtEveryStage) {
  const std::string aborted = "8 OTA Aborted by device ";
  const OtaResp dl0{proto::DOWNLOADING, 0, 0}, dl512{proto::DOWNLOADING, 512, 0};
  EXPECT_EQ(tvis_abort_dfu(test_device("after_idle_abort").c_str()), 0);
  run({
      {.name = "at_once", .abort_at_once = true, .end = aborted + "0", .writes = 0},
      {.name = "loading", .abort_on = "Loading firmware...", .end = aborted + "0", .writes = 0},
      {.name = "checksum", .abort_on = "Calculating CRC32 checksum...", .end = aborted + "0", .writes = 0},
      {.name = "handshake", .abort_on = "Initiating OTA handshake...", .end = aborted + "0", .writes = 0},
      {.name = "answer_waiting", .abort_on = "Uploading offset: 0", .end = aborted + "51.2", .writes = 2},
      {.name = "answer_after", .script = {dl0, dl512}, .abort_on = "Uploading offset: 0", .end = aborted + "51.2",
       .writes = 2},
      {.name = "verify", .abort_on = "Firmware upload complete. Verifying...", .end = aborted + "100", .writes = 3},
      {.name = "reboot_wait", .abort_on = "Verification success. Rebooting device...", .end = aborted + "100",
       .writes = 4},
      {.name = "racing_start", .race_on = "start", .end = aborted + "0", .writes = 1},
      {.name = "racing_chunk", .race_on = "chunk 512", .end = aborted + "100", .writes = 3},
      {.name = "racing_late_answer", .delays = {0.02}, .race_on = "chunk 0", .end = aborted + "51.2", .writes = 2},
      {.name = "after_idle_abort", .end = kDone, .writes = 5},
  });
  const std::string loading = test_device("loading");
  EXPECT_EQ(steps(reports(loading)), (Strings{"0 Loading firmware... 0", aborted + "0"}));
}

// A chunk that cannot be sent ends the update; a verify or reboot request that
// cannot be sent is passed over; without a write callback the handshake fails.
// The callback is process-wide, so these run one after the other.
TEST_F(Dfu, HostDropsWriteCallback) {
  const std::vector<OtaResp> then = {{proto::VERIFYING, 0, 0}, {proto::REBOOTING, 0, 0}};
  run({{.name = "chunk", .clear_on = "chunk 0", .end = "7 No BLE write callback registered 51.2", .writes = 2},
       {.name = "verify", .clear_on = "chunk 512", .then = then, .end = kDone, .writes = 3},
       {.name = "reboot", .clear_on = "verify", .end = kDone, .writes = 4}},
      false);
  const std::string dev = test_device();
  tvis_set_ble_write_callback(nullptr);
  start(dev, image_of(10));
  await_terminal(dev);
  EXPECT_EQ(steps(reports(dev)), preamble_and({"7 No BLE write callback registered 0"}));
}

// A second update for the same device (a retry, a double click) stops the
// first one, which ends once with an abort at its last upload percentage and
// writes nothing more; the second one takes over the answers, and the first
// one's end leaves the second one's mailbox in place.
TEST_F(Dfu, SecondUpdateForSameDeviceTakesOver) {
  const std::string dev = test_device();
  start(dev, image_of(1000));
  await_writes(dev, 0);
  feed(dev, answer_frame({proto::DOWNLOADING, 0, 0}));
  await_writes(dev, 1);  // the first update's chunk 0
  start(dev, image_of(1000));
  EXPECT_EQ(steps({await_terminal(dev)}), Strings{"8 OTA Aborted by device 51.2"});
  await_writes(dev, 2);  // the second update's start
  feed(dev, answer_frame({proto::DOWNLOADING, 0, 0}));
  await_writes(dev, 3);
  std::this_thread::sleep_for(kWait / 5);  // the first update's thread has ended
  EXPECT_TRUE(registered(dev));
  feed(dev, answer_frame({proto::DOWNLOADING, 512, 0}));
  await_writes(dev, 4);
  feed(dev, answer_frame({proto::REBOOTING, 1000, 0}));
  EXPECT_EQ(await_terminal(dev, 2).message, "Upgrade completed successfully!");
  const auto got = writes(dev);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(describe(*got[2].req), "start");
  EXPECT_EQ(describe(*got[5].req), "reboot");
}

// Started twice, then aborted once, before the handshake or during the
// upload: after the abort has returned neither update writes anything, not
// even once the older one's handshake or answer wait would have run out, and
// each ends with exactly one abort.
TEST_F(Dfu, AbortAfterDoubleStartStopsBoth) {
  for (const bool uploading : {false, true}) {
    const std::string dev = test_device(uploading ? "uploading" : "loading");
    SCOPED_TRACE(dev);
    start(dev, image_of(1000));
    if (uploading) {
      await_writes(dev, 0);
      feed(dev, answer_frame({proto::DOWNLOADING, 0, 0}));
      await_writes(dev, 1);
    }
    start(dev, image_of(1000));
    if (uploading) {
      await_writes(dev, 2);
      feed(dev, answer_frame({proto::DOWNLOADING, 0, 0}));
      await_writes(dev, 3);
    }
    ASSERT_EQ(tvis_abort_dfu(dev.c_str()), 0);
    const auto aborted_at = Clock::now();
    const size_t written = writes(dev).size();
    await_terminal(dev, 2);
    std::this_thread::sleep_for(kWait * 3 / 2);  // past the older update's handshake and answer timeout
    const auto got = writes(dev);
    EXPECT_EQ(got.size(), written);
    for (const Seen& w : got) EXPECT_LT(w.at, aborted_at) << describe(*w.req);
    const std::string last = uploading ? "51.2" : "0";
    EXPECT_EQ(steps({await_terminal(dev, 1), await_terminal(dev, 2)}),
              (Strings{"8 OTA Aborted by device " + last, "8 OTA Aborted by device " + last}));
    EXPECT_EQ(terminals(reports(dev)), 2u);
  }
}

// NULL and empty come before the UTF-8 check; nothing starts.
TEST_F(Dfu, RefusedArgumentsStartNothing) {
  const uint8_t byte = 1;
  EXPECT_EQ(vals(tvis_start_dfu(nullptr, &byte, 1), tvis_start_dfu("d", &byte, 0),
                 tvis_start_dfu("\xff\xfe", nullptr, 4), tvis_start_dfu("\xff\xfe", &byte, 0),
                 tvis_start_dfu("\xC3\x28", &byte, 1), tvis_abort_dfu(nullptr), tvis_abort_dfu("\xFF"),
                 tvis_start_mock_dfu(nullptr), tvis_start_mock_dfu("\xE2\x82")),
            (Values{-1, -1, -1, -1, -2, -1, -2, -1, -2}));
  std::this_thread::sleep_for(100ms);  // longer than loading, at this scale
  std::lock_guard lock(host.mutex);
  EXPECT_TRUE(host.seen.empty());
}

// The simulated peer, started before the update, drives a 10,240-byte image
// through the whole protocol on its real timetable: answers every 150 ms
// after a 1.5 s pause, about 0.3 to 2.4 KiB/s.
TEST_F(DfuRealTime, MockPeerDrivesFullUpdate) {
  const Bytes image = image_of(10240);
  const std::string dev = test_device();
  ASSERT_EQ(tvis_start_mock_dfu(dev.c_str()), 0);
  start(dev, image);
  check(dev, image, await_terminal(dev, 1, 15s));
  Strings want;
  for (uint32_t k = 0; k < 20; ++k)
    want.push_back("3 Uploading offset: " + std::to_string(512 * k) + " " + std::to_string(5 * (k + 1)));
  want.insert(want.end(), {"4 Firmware upload complete. Verifying... 100", "4 Verifying image on device... 100",
                           "5 Verification success. Rebooting device... 100", kDone});
  const auto rs = reports(dev);
  ASSERT_EQ(steps(rs), preamble_and(want));
  EXPECT_EQ(writes(dev).size(), 23u);
  for (size_t i = 3; i < 23; ++i) {
    EXPECT_TRUE(rs[i].speed_kbps > 0.2 && rs[i].speed_kbps < 3.5) << i << ": " << rs[i].speed_kbps;
    EXPECT_NEAR(rs[i].eta_secs * rs[i].speed_kbps, (100.0 - rs[i].percentage) / 10.0, 1e-6) << i;
  }
  EXPECT_LE(rs[26].at - rs[25].at, 1500ms);  // the reboot pause
}

// Aborted as soon as it is started beside its simulated peer, an update ends
// before it writes anything, not after its 5-second wait for an answer nor
// with the peer's run to completion.
TEST_F(DfuRealTime, MockPeerUpdateAbortedAtOnce) {
  const std::string dev = test_device();
  ASSERT_EQ(tvis_start_mock_dfu(dev.c_str()), 0);
  start(dev, image_of(10240));
  const auto asked = Clock::now();
  ASSERT_EQ(tvis_abort_dfu(dev.c_str()), 0);
  const Seen end = await_terminal(dev, 1, 15s);
  EXPECT_EQ(steps({end}), Strings{"8 OTA Aborted by device 0"});
  EXPECT_LT(end.at - asked, 3s);
  // The peer either missed the update or keeps answering a mailbox nobody
  // reads; either way nothing more happens. Its search is over by then, so
  // its complaint falls in no other test.
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(writes(dev).empty());
  EXPECT_EQ(reports(dev).size(), 2u);
}

TEST_F(DfuRealTime, MockPeerWithoutUpdateGivesUpAfterTwoSeconds) {
  testing::internal::CaptureStdout();
  tvis_initialize_logging(3);
  ASSERT_EQ(tvis_start_mock_dfu("lonely peer"), 0);
  std::this_thread::sleep_for(1800ms);
  const Strings early = captured_stdout();  // the start last: no error yet
  EXPECT_EQ(early.empty() ? "" : early.back(), "[Rust][INFO][dfu] Mock DFU thread started for device: lonely peer")
      << early.size();
  testing::internal::CaptureStdout();
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(captured_stdout(),
            Strings{"[Rust][ERROR][dfu] Mock DFU failed: OtaWaiter not registered by client DFU thread."});
}

}  // namespace
