// The C face under hostile or odd input: bad ids and pointers, garbage bytes,
// argument codes of the pure functions, and callbacks that call back in.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "capi_support.h"

namespace {

using namespace capi_test;

std::string device(const std::string& suffix = "") {
  return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + suffix;
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    take_events();
    install_recorders();
  }
  void TearDown() override { clear_callbacks(); }

  const Bytes frame = frame_of(pressure_msg(1));
  const Bytes head = Bytes(frame.begin(), frame.begin() + 10);
  const Bytes tail = Bytes(frame.begin() + 10, frame.end());
};

TEST_F(BadInput, RefusedIdsDispatchNothing) {
  tvis_did_receive_data(nullptr, frame.data(), frame.size());
  for (const char* id : {"\xff\xfe", "\xc0\x80", "\xed\xa0\x80", "ok\x80", "\xf4\x90\x80\x80"})
    tvis_did_receive_data(id, frame.data(), frame.size());
  EXPECT_TRUE(take_events().empty());
  feed(device(), frame);
  EXPECT_EQ(take_events().size(), 1u);
}

// Calls that carry no bytes (or refuse their pointer) leave a partial frame
// as it was: the next piece still completes it.
TEST_F(BadInput, EmptyOrRefusedCallsLeaveAPartialFrameIntact) {
  const std::string id = device();
  tvis_did_receive_data(id.c_str(), nullptr, 0);
  tvis_did_receive_data(id.c_str(), frame.data(), 0);
  feed(id, head);
  tvis_did_receive_data(id.c_str(), nullptr, 0);
  tvis_did_receive_data(id.c_str(), nullptr, 5);
  tvis_on_device_ready(id.c_str());
  tvis_set_ble_mtu(id.c_str(), 23);
  EXPECT_TRUE(take_events().empty());
  feed(id, tail);
  EXPECT_EQ(take_events().size(), 1u);
}

TEST_F(BadInput, DisconnectDiscardsThePartialFrame) {
  const std::string id = device();
  tvis_on_device_disconnected(nullptr);
  tvis_on_device_disconnected("\xff\xfe");
  tvis_on_device_disconnected(device("never-seen").c_str());
  feed(id, head);
  tvis_on_device_disconnected(id.c_str());
  feed(id, tail);
  EXPECT_TRUE(take_events().empty());
  feed(id, frame);
  EXPECT_EQ(take_events().size(), 1u);
}

TEST_F(BadInput, OversizedChunkIsDroppedAndTheStreamRecovers) {
  tvis_initialize_logging(2);
  std::mt19937 rng(1234);
  auto garbage = [&](size_t n) {
    Bytes g(n);
    for (auto& b : g) {
      b = static_cast<uint8_t>(rng());
      if (b == 'T') b = 0;  // no frame start hides in it
    }
    return g;
  };
  const std::string id = device();
  const Bytes huge = concat({garbage(1 << 20), frame});
  feed(id, head);
  {
    StdoutCapture out;
    feed(id, huge);
    EXPECT_EQ(out.lines(), std::vector<std::string>{"[Rust][WARN][c] Insole stream parser buffer overflow (max_len: "
                                                    "16394, buffer_len: 10, incoming_len: " +
                                                    std::to_string(huge.size()) + "). Dropping oldest data."});
  }
  EXPECT_TRUE(take_events().empty());
  feed(id, tail);  // the partial frame went with the overflow
  EXPECT_TRUE(take_events().empty());
  feed(id, concat({garbage(9000), frame, garbage(3), frame_of(pressure_msg(2)), garbage(7000)}));
  EXPECT_EQ(take_events().size(), 2u);
}

// Frames whose messages carry nothing a C callback reports: no callback, and
// nothing logged even at the most verbose level.
TEST_F(BadInput, MessagesWithoutReportableFieldsStayQuiet) {
  tvis_initialize_logging(5);
  proto::InsoleResp other;
  other.msg_id = 5;
  other.err_code = proto::BUSY;
  other.runtime_info.emplace();
  other.sensor_config.emplace();
  other.device_status.emplace();
  other.factory_config.emplace();
  proto::InsoleResp bare_sensor;
  bare_sensor.sensor_data.emplace().seq_num = 3;
  StdoutCapture out;
  feed(device(), concat({frame_of_payload({}), frame_of(other), frame_of(bare_sensor)}));
  EXPECT_EQ(out.lines(), std::vector<std::string>{});
  EXPECT_TRUE(take_events().empty());
}

TEST(DeviceInfo, BuiltFromTheIdAlone) {
  const struct {
    const char* id;
    const char* serial;
  } cases[] = {
      {"left", "left-SERIAL"}, {"", "-SERIAL"}, {"\xff\xfe", "UNKNOWN-SERIAL"}, {"pi\xc3\xa9", "pi\xc3\xa9-SERIAL"}};
  for (const auto& c : cases) {
    TvisDeviceInfo* info = tvis_get_device_info(c.id);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->serial_number, c.serial);
    EXPECT_EQ(info->device_id, 2);
    EXPECT_EQ(info->product_id, 0u);
    for (const char* text : {info->model_name, info->fw_version, info->hw_version, info->git_commit, info->mac}) {
      ASSERT_NE(text, nullptr);
      EXPECT_STREQ(text, "");
    }
    tvis_free_device_info(info);
  }
  EXPECT_EQ(tvis_get_device_info(nullptr), nullptr);
  tvis_free_device_info(nullptr);
}

// The null checks come before the UTF-8 check; aborting where no update runs
// is not an error.
TEST(UpdateEntryPoints, NullBeforeInvalidId) {
  EXPECT_EQ(tvis_start_dfu("\xff\xfe", nullptr, 4), -1);
  EXPECT_EQ(tvis_start_dfu("\xff\xfe", reinterpret_cast<const uint8_t*>("fw"), 0), -1);
  EXPECT_EQ(tvis_abort_dfu("no-update-running"), 0);
}

TEST(Calibration, ArgumentChecksInTheirOrder) {
  uint32_t res[48] = {};
  double out[48];
  TvisShearForce forces[3];
  const struct {
    const uint32_t* res;
    size_t count;
    uint8_t foot;
    bool null_out;
    size_t out_len, shear_out_len;
    int32_t code;
  } cases[] = {
      {nullptr, 48, 2, false, 48, 3, -1}, {res, 48, 2, true, 48, 3, -1},    {nullptr, 0, 9, true, 0, 0, -1},
      {res, 47, 2, false, 48, 3, -3},     {res, 48, 2, false, 47, 2, -3},   {res, 0, 7, false, 48, 3, -3},
      {res, 48, 2, false, 0, 0, -3},      {res, 48, 1, false, 48, 3, -2},   {res, 48, 4, false, 48, 3, -2},
      {res, 48, 0, false, 48, 3, -2},     {res, 48, 255, false, 48, 3, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count << " foot " << int(c.foot) << " out_len " << c.out_len);
    std::fill(std::begin(out), std::end(out), -7.0);
    std::fill(std::begin(forces), std::end(forces), TvisShearForce{-7.0, -7.0, -7.0});
    EXPECT_EQ(tvis_calibrate_pressure(c.res, c.count, c.foot, c.null_out ? nullptr : out, c.out_len), c.code);
    EXPECT_EQ(tvis_derive_shear(c.res, c.count, c.foot, c.null_out ? nullptr : forces, c.shear_out_len), c.code);
    for (double v : out) EXPECT_EQ(v, -7.0);  // nothing written on refusal
    for (const auto& f : forces) EXPECT_EQ(f.normal_force, -7.0);
  }
}

TEST(Calibration, PressureValues) {
  const struct {
    uint8_t foot;
    size_t channel;
    uint32_t ohms;
    double newtons;
  } cases[] = {
      {2, 0, 10000, 52.91},    {2, 12, 10000, 340.268},   {3, 0, 10000, 52.91},
      {3, 12, 10000, 340.268}, {2, 12, 100000, 0.044},    {2, 5, 0, 0.0},
      {2, 5, 1000000, 0.0},    {3, 47, 4294967295u, 0.0}, {2, 0, 999999, 0.0},
  };
  for (const auto& c : cases) {
    uint32_t res[48];
    std::fill(std::begin(res), std::end(res), 10000u);
    res[c.channel] = c.ohms;
    double out[48];
    ASSERT_EQ(tvis_calibrate_pressure(res, 48, c.foot, out, 48), 0);
    EXPECT_EQ(out[c.channel], c.newtons) << "foot " << int(c.foot) << " channel " << c.channel << " " << c.ohms;
  }
  uint32_t one[48];
  std::fill(std::begin(one), std::end(one), 1u);
  double big[48];
  ASSERT_EQ(tvis_calibrate_pressure(one, 48, 2, big, 48), 0);
  EXPECT_TRUE(std::isfinite(big[0]) && big[0] > 1e6);
}

TEST(Calibration, WritesExactlyFortyEightValues) {
  uint32_t res[60];
  std::fill(std::begin(res), std::end(res), 10000u);
  double out[60];
  std::fill(std::begin(out), std::end(out), -7.0);
  ASSERT_EQ(tvis_calibrate_pressure(res, 60, 2, out, 60), 0);
  EXPECT_EQ(out[47], 52.91);
  for (size_t i = 48; i < 60; ++i) EXPECT_EQ(out[i], -7.0) << i;

  TvisShearForce forces[5];
  std::fill(std::begin(forces), std::end(forces), TvisShearForce{-7.0, -7.0, -7.0});
  ASSERT_EQ(tvis_derive_shear(res, 60, 2, forces, 5), 0);
  EXPECT_EQ(forces[3].force_x, -7.0);
  EXPECT_EQ(forces[4].normal_force, -7.0);
}

TEST(Calibration, ShearForces) {
  uint32_t res[48];
  std::fill(std::begin(res), std::end(res), 10000u);
  for (uint8_t foot : {2, 3}) {
    TvisShearForce f[3];
    ASSERT_EQ(tvis_derive_shear(res, 48, foot, f, 3), 0);
    for (const auto& s : f) {
      EXPECT_DOUBLE_EQ(s.force_x, 0.0);
      EXPECT_DOUBLE_EQ(s.force_y, 0.0);
      EXPECT_DOUBLE_EQ(s.normal_force, 6805.36);
    }
  }
  res[37] = 20000;  // quadrant q1 of sensor 0 on the left foot
  TvisShearForce f[3];
  ASSERT_EQ(tvis_derive_shear(res, 48, 2, f, 3), 0);
  EXPECT_DOUBLE_EQ(f[0].force_x, -2262.7875);
  EXPECT_DOUBLE_EQ(f[0].force_y, -2262.7875);
  EXPECT_DOUBLE_EQ(f[0].normal_force, 5296.835);
  for (int k : {1, 2}) {
    EXPECT_DOUBLE_EQ(f[k].force_x, 0.0);
    EXPECT_DOUBLE_EQ(f[k].normal_force, 6805.36);
  }
  // On the right foot channel 37 is q0 of sensor 1.
  ASSERT_EQ(tvis_derive_shear(res, 48, 3, f, 3), 0);
  EXPECT_DOUBLE_EQ(f[0].normal_force, 6805.36);
  EXPECT_DOUBLE_EQ(f[1].force_x, 2262.7875);
  EXPECT_DOUBLE_EQ(f[1].force_y, -2262.7875);
}

TEST(FootSide, FirstByteDecides) {
  const uint8_t right[] = {3, 0}, two[] = {2}, one[] = {1}, ff[] = {0xFF}, zero[] = {0};
  EXPECT_EQ(tvis_parse_foot_side(right, 2), 3);
  EXPECT_EQ(tvis_parse_foot_side(two, 1), 2);
  EXPECT_EQ(tvis_parse_foot_side(one, 1), 2);
  EXPECT_EQ(tvis_parse_foot_side(ff, 1), 2);
  EXPECT_EQ(tvis_parse_foot_side(zero, 1), 2);
  EXPECT_EQ(tvis_parse_foot_side(nullptr, 0), 0);
  EXPECT_EQ(tvis_parse_foot_side(nullptr, 4), 0);
  EXPECT_EQ(tvis_parse_foot_side(right, 0), 0);
}

// A callback may call any export, including feeding more data, for another
// device and for its own: nothing deadlocks and the nested frames dispatch.
std::string g_outer, g_inner;
std::vector<std::string> g_seen;
Bytes g_inner_frame, g_outer_next;

void reentrant(const char* id, const TvisPressureSample* s) {
  g_seen.push_back(std::string(id) + ":" + std::to_string(s->seq_num));
  if (g_outer != id || s->seq_num != 1) return;
  tvis_set_shear_callback(nullptr);
  tvis_set_pressure_callback(reentrant);
  ByteBuffer cmd = tvis_build_stop_sensor_stream_request(1);
  EXPECT_NE(cmd.data, nullptr);
  tvis_free_bytes(cmd.data, cmd.len);
  tvis_free_device_info(tvis_get_device_info(id));
  tvis_did_receive_data(g_inner.c_str(), g_inner_frame.data(), g_inner_frame.size());
  tvis_did_receive_data(id, g_outer_next.data(), g_outer_next.size());
  // The device may even be forgotten while its frames are being reported.
  tvis_on_device_disconnected(id);
}

TEST(Reentrancy, CallbacksMayCallBackIn) {
  g_outer = device("outer");
  g_inner = device("inner");
  g_inner_frame = frame_of(pressure_msg(100));
  g_outer_next = frame_of(pressure_msg(2));
  tvis_set_pressure_callback(reentrant);
  feed(g_outer, concat({frame_of(pressure_msg(1)), frame_of(pressure_msg(3))}));
  tvis_set_pressure_callback(nullptr);
  EXPECT_EQ(g_seen, (std::vector<std::string>{g_outer + ":1", g_inner + ":100", g_outer + ":2", g_outer + ":3"}));
}

}  // namespace
