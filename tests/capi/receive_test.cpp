// The receive path seen from a C host: bytes in through tvis_did_receive_data,
// records out through the registered callbacks, log lines on the console;
// hostile input, and callbacks that call back in.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "runtime/ota_waiter.h"
#include "capi_support.h"

namespace {

using namespace capi_test;

class Receive : public ::testing::Test {
 protected:
  void SetUp() override { take_events(), set_recorders(true); }
  void TearDown() override { set_recorders(false); }

  const std::string id = test_device();
  const Bytes frame = frame_of(pressure_msg(1));
  const Bytes head{frame.begin(), frame.begin() + 10}, tail{frame.begin() + 10, frame.end()};
};
using BadInput = Receive;

// Records in a fixed order; the battery report inside a right-foot sensor
// message names the right foot, a stand-alone one the left. Wide fields keep
// their low bits; IMU readings saturate to 16 bits while the derived values
// come from the unsaturated ones; a scale of 0 takes the default.
TEST_F(Receive, MessagesBecomeRecordsInFixedOrder) {
  proto::InsoleResp msg, defaults;
  msg.battery_data = proto::BatteryData{0x1FF, 0x1ABCD, 0x104};
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = 0x100 + proto::DEVICE_RIGHT;
  sd.seq_num = 9;
  sd.timestamp_ms = 4242;
  sd.battery_data = proto::BatteryData{0x164, 0xFFFF0001, -1};
  sd.imu_data = proto::ImuData{40000, -40000, 32767, 32768, -32769, -32768, 1, -2, 3, 70000, -5, 6, 0.25f, 0.5f};
  sd.shear_data.emplace().shear_force_x = {1, 2, 3, 4};
  sd.shear_data->shear_force_y = {-5};
  sd.pressure_data.emplace().pressure = {7, 8};
  msg.device_event = proto::DeviceEvent{77, proto::EVENT_WEAR_ON};
  msg.device_info = proto::DeviceInfo{0x1FE, "SN1", 12, "model", "1.2.3", "hw2", "abc", "AA:BB"};
  defaults.sensor_data.emplace().imu_data = proto::ImuData{2048, 0, -1, 16384, 0, 0, 0, 0, 0, 0, 0, 0, 0.0f, 0.0f};

  feed(id, concat({frame_of(msg), frame_of(defaults)}));
  const auto ev = take_events();
  ASSERT_EQ(kinds(ev), (Strings{"info", "event", "pressure", "shear", "imu", "battery", "battery", "imu"}));
  for (const Event& e : ev) EXPECT_EQ(e.device, id);
  // clang-format off
  EXPECT_EQ(fields(ev),
            (Table{{0xFE, 12},
                   {77, proto::EVENT_WEAR_ON},
                   {9, 4242, 2, 0},
                   {9, 4242, 1, 2, 3, -5, 0, 0},
                   {3, 4242, 32767, -32768, 32767, 32767, -32768, -32768, 1, -2, 3, 70000, -5, 6, 0.25, 0.5,
                    10000, -10000, 8191.75, 16384, -16384.5, -16384},
                   {3, 0x64, 1, 0xFF},
                   {2, 0xFF, 0xABCD, 4},
                   {0, 0, 2048, 0, -1, 16384, 0, 0, 0, 0, 0, 0, 0, 0, 0.48828125, 0.06103515625,
                    1000, 0, -0.48828125, 1000, 0, 0}}));
  // clang-format on
  EXPECT_EQ(ev[0].texts, (Strings{"SN1", "model", "1.2.3", "hw2", "abc", "AA:BB"}));
  EXPECT_EQ(Values(ev[2].pressure.pressure, ev[2].pressure.pressure + 3), (Values{7, 8, 0}));
}

// One device throughout, so nothing of one message may leak into the next.
TEST_F(Receive, PressureArraysAreCappedAndFallBackToRaw) {
  const struct { size_t pressure, raw; uint8_t count, raw_count; bool main_from_raw; } cases[] = {
      {0, 50, 48, 48, true}, {3, 5, 3, 5, false}, {60, 0, 48, 0, false}, {0, 0, 0, 0, true}, {0, 7, 7, 7, true},
  };
  uint32_t seq = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "pressure " << c.pressure << " raw " << c.raw);
    proto::InsoleResp msg;
    msg.sensor_data.emplace().seq_num = ++seq;
    auto& p = msg.sensor_data->pressure_data.emplace();
    for (size_t i = 0; i < c.pressure; ++i) p.pressure.push_back(static_cast<int32_t>(1000 + i));
    for (size_t i = 0; i < c.raw; ++i) p.raw_pressure.push_back(-static_cast<int32_t>(i) - 1);
    feed(id, frame_of(msg));
    const auto ev = take_events();
    ASSERT_EQ(ev.size(), 1u);
    const TvisPressureSample& s = ev[0].pressure;
    EXPECT_EQ(s.pressure_count, c.count);
    EXPECT_EQ(s.raw_pressure_count, c.raw_count);
    for (int32_t i = 0; i < 48; ++i) {
      const int32_t raw = i >= c.raw_count ? 0 : -i - 1;
      EXPECT_EQ(s.pressure[i], i >= c.count ? 0 : c.main_from_raw ? raw : 1000 + i) << i;
      EXPECT_EQ(s.raw_pressure[i], raw) << i;
    }
  }
}

// A text with a NUL cannot reach C whole, so the record is withheld; the rest
// of the message still goes out.
TEST_F(Receive, DeviceInfoWithNulInsideATextIsWithheld) {
  using proto::DeviceInfo;
  for (auto text : {&DeviceInfo::serial_number, &DeviceInfo::model_name, &DeviceInfo::fw_version,
                    &DeviceInfo::hw_version, &DeviceInfo::git_commit, &DeviceInfo::mac}) {
    proto::InsoleResp msg;
    msg.device_info.emplace().*text = std::string("ab\0cd", 5);
    msg.device_event = proto::DeviceEvent{1, 2};
    feed(id, frame_of(msg));
    EXPECT_EQ(kinds(take_events()), Strings{"event"});
  }
}

TEST_F(Receive, SequenceGapsAreLoggedAcrossReconnects) {
  tvis_initialize_logging(2);
  tvis_set_pressure_callback(nullptr);
  testing::internal::CaptureStdout();
  for (uint32_t seq : {7u, 8u, 12u, 12u, 4294967295u, 0u}) feed(id, frame_of(pressure_msg(seq)));
  tvis_on_device_disconnected(id.c_str());
  feed(id, frame_of(pressure_msg(1)));
  feed(id, frame_of(pressure_msg(9)));
  const std::string prefix = "[Rust][WARN][c] \xE2\x9A\xA0\xEF\xB8\x8F  Insole SeqNum not continuous for " + id + ": ";
  EXPECT_EQ(captured_stdout(), (Strings{prefix + "8 -> 12 (lost 3)", prefix + "12 -> 12 (lost 4294967295)",
                                        prefix + "12 -> 4294967295 (lost 4294967282)", prefix + "1 -> 9 (lost 7)"}));
}

std::shared_ptr<tvis::c::OtaWaiter> g_waiter;
bool g_answer_before_pressure = false;

// Answers go to the waiter registered for exactly this id, before the sensor
// callbacks of the same message (the later of two replaces the one not yet
// taken); without a waiter they vanish without a word.
TEST_F(Receive, OtaAnswersReachOnlyARegisteredWaiter) {
  tvis_initialize_logging(5);
  proto::InsoleResp first, second;
  first.ota_resp = proto::OtaResp{proto::DOWNLOADING, 1024, 0};
  second.ota_resp = proto::OtaResp{proto::DOWNLOAD_FINISHED, 2048, proto::OTA_RESULT_ERR_FLASH};
  second.sensor_data.emplace().pressure_data.emplace();
  testing::internal::CaptureStdout();
  feed(id, frame_of(first));
  EXPECT_EQ(captured_stdout(), Strings{});
  auto& registry = tvis::c::ota_waiters();
  {
    std::lock_guard lock(registry.mutex);
    g_waiter = registry.map[id] = std::make_shared<tvis::c::OtaWaiter>();
  }
  tvis_set_pressure_callback([](const char*, const TvisPressureSample*) {
    auto answer = g_waiter->take(std::chrono::milliseconds(0));
    g_answer_before_pressure = answer && answer->offset == 2048;
  });
  feed(id, concat({frame_of(first), frame_of(second)}));
  EXPECT_TRUE(g_answer_before_pressure);
  tvis_set_pressure_callback(nullptr);
  for (const std::string& near : {"o" + id.substr(1), id + " ", id.substr(0, id.size() - 1)})  // byte for byte
    feed(near, frame_of(first));
  feed(id, concat({frame, frame_of_payload(hex("12 05 08 01"))}));  // no answer, and an undecodable frame
  EXPECT_FALSE(g_waiter->take(std::chrono::milliseconds(0)));
  feed(id, frame_of(second));
  EXPECT_EQ(g_waiter->take(std::chrono::milliseconds(0)), second.ota_resp);
  std::lock_guard lock(registry.mutex);
  registry.map.erase(id);
}

// A frame with a bad CRC is reported after one warning (given as the chunk is
// split into frames); an undecodable payload costs only its own frame, with
// one error line in its place.
TEST_F(Receive, BadFramesCostAtMostThemselves) {
  tvis_initialize_logging(2);
  tvis_set_pressure_callback([](const char*, const TvisPressureSample* s) {
    std::printf("callback %u\n", s->seq_num);
    std::fflush(stdout);
  });
  Bytes bad_crc = frame_of(pressure_msg(2));
  bad_crc.back() ^= 0xFF;
  const Bytes bad_payload = hex("12 05 08 01");  // device_info claims 5 bytes, 2 follow
  testing::internal::CaptureStdout();
  feed(id, concat({frame_of(pressure_msg(1)), bad_crc, frame_of_payload(bad_payload), frame_of(pressure_msg(3))}));
  const auto lines = captured_stdout();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind("[Rust][WARN][protocol::parser] CRC mismatch: expected=", 0), 0u) << lines[0];
  EXPECT_EQ((Strings{lines[1], lines[2], lines[4]}), (Strings{"callback 1", "callback 2", "callback 3"}));
  EXPECT_EQ(lines[3].rfind("[Rust][ERROR][c] Failed to decode InsoleResp: failed to decode Protobuf message: ", 0), 0u);
}

// Refused ids dispatch nothing. Calls without bytes (or refusing their
// pointer) and connection events for other ids leave a partial frame as it
// was; a disconnect of its own discards it.
TEST_F(BadInput, PartialFrameSurvivesAllButItsDisconnect) {
  feed(id, head);
  tvis_did_receive_data(nullptr, frame.data(), frame.size());
  for (const char* bad : {"\xff\xfe", "\xc0\x80", "\xed\xa0\x80", "ok\x80", "\xf4\x90\x80\x80"})
    tvis_did_receive_data(bad, frame.data(), frame.size());
  tvis_did_receive_data(id.c_str(), nullptr, 0);
  tvis_did_receive_data(id.c_str(), frame.data(), 0);
  tvis_did_receive_data(id.c_str(), nullptr, 5);
  tvis_on_device_ready(id.c_str());
  tvis_set_ble_mtu(id.c_str(), 23);
  tvis_on_device_disconnected(nullptr);
  tvis_on_device_disconnected("\xff\xfe");
  tvis_on_device_disconnected((id + "-never-seen").c_str());
  EXPECT_TRUE(take_events().empty());
  feed(id, tail);
  EXPECT_EQ(take_events().size(), 1u);

  feed(id, head);
  tvis_on_device_disconnected(id.c_str());
  feed(id, tail);
  EXPECT_TRUE(take_events().empty());
  feed(id, frame);
  EXPECT_EQ(take_events().size(), 1u);
}

// A thread remembers the id it fed last, to skip the check and the lookup
// when the same stream comes again. The id must still be compared whole on
// every call: a host may rewrite its id buffer in place, interleave devices
// whose ids extend one another, or pass the remembered id with bad bytes
// after it.
TEST_F(BadInput, RememberedIdIsComparedWholeOnEveryCall) {
  const std::string a = id + "-a", longer = id + "-a2";
  char buffer[64];
  auto feed_from_buffer = [&](const std::string& text, const Bytes& bytes) {
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
    tvis_did_receive_data(buffer, bytes.data(), bytes.size());
  };
  feed_from_buffer(longer, head);
  feed_from_buffer(a, head);  // same buffer, new text
  const std::string bad = a + "\x80";
  tvis_did_receive_data(bad.c_str(), frame.data(), frame.size());
  feed_from_buffer(a, tail);
  feed_from_buffer(id, frame);
  feed_from_buffer(longer, tail);
  const auto ev = take_events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ((Strings{ev[0].device, ev[1].device, ev[2].device}), (Strings{a, id, longer}));
}

// A chunk longer than the buffer (a capture fed at once) reaches the
// callbacks and the log as its bytes do in notification-sized pieces. A chunk
// within the bound that would overfill the buffer still goes with it.
TEST_F(BadInput, LongChunkDispatchesAsItsPiecesDo) {
  tvis_initialize_logging(4);  // every dropped byte is a line
  Bytes stream = hex("00 FF 54");
  for (uint32_t seq = 1; seq <= 300; ++seq) {
    stream = concat({stream, frame_of(pressure_msg(seq)), seq % 7 ? Bytes{} : hex("41 54 52")});
    if (seq == 3) stream.back() ^= 0x01;  // a bad CRC is logged, and dispatched all the same
  }
  ASSERT_GT(stream.size(), 2 * 16394u);
  // The first frame has begun when the long chunk comes.
  auto run = [&](const std::string& device, size_t piece) {
    testing::internal::CaptureStdout();
    for (size_t at = 0, len = 40; at < stream.size(); at += len, len = piece)
      tvis_did_receive_data(device.c_str(), stream.data() + at, std::min(len, stream.size() - at));
    return std::pair(captured_stdout(), take_events());
  };
  const auto [whole_log, whole] = run(id, stream.size());
  const auto [pieces_log, pieces] = run(id + "-in-pieces", 61);
  EXPECT_EQ(whole_log, pieces_log);
  EXPECT_EQ(kinds(whole), kinds(pieces));
  EXPECT_EQ(fields(whole), fields(pieces));
  ASSERT_EQ(whole.size(), 300u);
  EXPECT_EQ(whole.back().fields[0], 300);

  const Bytes started = frame_of_payload(Bytes(16100, 0x08));
  feed(id, Bytes(started.begin(), started.begin() + 16000));
  testing::internal::CaptureStdout();
  feed(id, concat({frame, Bytes(400 - frame.size(), 0x00)}));
  EXPECT_EQ(captured_stdout(), Strings{"[Rust][WARN][c] Insole stream parser buffer overflow (max_len: 16394, "
                                       "buffer_len: 16000, incoming_len: 400). Dropping oldest data."});
  feed(id, frame);
  EXPECT_EQ(take_events().size(), 1u);
}

// A callback may call any export, including feeding more data for another
// device and for its own, and forgetting its own device: nothing deadlocks
// and the nested frames dispatch.
std::string g_outer, g_inner;
Strings g_seen;

void reentrant(const char* id, const TvisPressureSample* s) {
  g_seen.push_back(std::string(id) + ":" + std::to_string(s->seq_num));
  if (g_outer != id || s->seq_num != 1) return;
  tvis_set_shear_callback(nullptr);
  tvis_set_pressure_callback(reentrant);
  ByteBuffer cmd = tvis_build_stop_sensor_stream_request(1);
  EXPECT_NE(cmd.data, nullptr);
  tvis_free_bytes(cmd.data, cmd.len);
  tvis_free_device_info(tvis_get_device_info(id));
  feed(g_inner, frame_of(pressure_msg(100)));
  feed(id, frame_of(pressure_msg(2)));
  tvis_on_device_disconnected(id);
}

TEST(Reentrancy, CallbacksMayCallBackIn) {
  g_outer = test_device("outer");
  g_inner = test_device("inner");
  tvis_set_pressure_callback(reentrant);
  feed(g_outer, concat({frame_of(pressure_msg(1)), frame_of(pressure_msg(3))}));
  tvis_set_pressure_callback(nullptr);
  EXPECT_EQ(g_seen, (Strings{g_outer + ":1", g_inner + ":100", g_outer + ":2", g_outer + ":3"}));
}

}  // namespace
