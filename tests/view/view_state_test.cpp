// The browser view's state: what it makes of the notifications a source hands
// out (gaps, bad CRCs, undecodable payloads, frames split across
// notifications, raw-only pressure), and that its snapshot is valid JSON.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "pressure/calibration.h"
#include "protocol/codec.h"
#include "protocol/frame.h"
#include "insole/view/view_layout.h"
#include "insole/view/view_state.h"

namespace insole {
namespace {

using boost::property_tree::ptree;
using namespace tvis::protocol;

std::vector<uint8_t> frame_of(const InsoleResp& msg) { return *encode_frame(FrameHeader{}, encode_insole_resp(msg)); }

std::vector<uint8_t> sensor_frame(uint32_t seq, std::vector<int32_t> pressure = {}, std::vector<int32_t> raw = {}) {
  InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = DEVICE_LEFT;
  sd.seq_num = seq;
  auto& p = sd.pressure_data.emplace();
  for (int32_t v : pressure) p.pressure.push_back(v);
  for (int32_t v : raw) p.raw_pressure.push_back(v);
  return frame_of(msg);
}

class Feeder {
 public:
  Feeder() : state_(load_layout(""), "test source") {}

  void send(std::span<const uint8_t> bytes, const std::string& id = "left") {
    state_.on_event(SourceEvent{SourceEvent::Kind::notification, id, foot_, ++time_, bytes});
  }

  // The snapshot, parsed: it must be JSON.
  ptree snapshot() {
    ptree root;
    std::istringstream in(state_.snapshot_json(time_));
    boost::property_tree::read_json(in, root);
    return root;
  }

  ptree insole(size_t n = 0) {
    auto list = snapshot().get_child("insoles");
    auto it = list.begin();
    std::advance(it, n);
    return it->second;
  }

  ViewState state_;
  std::string foot_ = "left";
  int64_t time_ = 1'000'000'000;
};

TEST(ViewState, CountsGapsBadCrcsAndUndecodablePayloads) {
  Feeder f;
  f.send(sensor_frame(1));
  f.send(sensor_frame(2));
  f.send(sensor_frame(5));  // 3 and 4 lost
  std::vector<uint8_t> bad_crc = sensor_frame(6);
  bad_crc.back() ^= 0xFF;
  f.send(bad_crc);  // counted, and decoded all the same
  f.send(*encode_frame(FrameHeader{}, std::vector<uint8_t>{0x0A, 0x05, 0x01}));  // a field running past the end
  const ptree in = f.insole();
  EXPECT_EQ(in.get<uint32_t>("seq"), 6u);
  EXPECT_EQ(in.get<int>("frames"), 4);
  EXPECT_EQ(in.get<int>("lost"), 2);
  EXPECT_EQ(in.get<int>("crc_errors"), 1);
  EXPECT_EQ(in.get<int>("decode_errors"), 1);
  EXPECT_EQ(f.state_.frames_total(), 4u);
}

TEST(ViewState, ReassemblesFramesSplitAcrossNotificationsAndKeepsInsolesApart) {
  Feeder f;
  const std::vector<uint8_t> frame = sensor_frame(7, std::vector<int32_t>(48, 10));
  for (size_t at = 0; at < frame.size(); at += 5)
    f.send(std::span<const uint8_t>(frame).subspan(at, std::min<size_t>(5, frame.size() - at)));
  f.foot_ = "right";
  f.send(sensor_frame(3, std::vector<int32_t>(48, 1)), "other");
  EXPECT_EQ(f.insole(0).get<uint32_t>("seq"), 7u);
  EXPECT_EQ(f.insole(0).get<int>("frames"), 1);
  EXPECT_EQ(f.insole(1).get<uint32_t>("seq"), 3u);
  EXPECT_EQ(f.insole(1).get<std::string>("foot"), "right");
  EXPECT_DOUBLE_EQ(f.insole(0).get<double>("total"), 480);
}

// A feed that keeps naming new insoles stops growing the view at its bound;
// the insoles already shown go on updating.
TEST(ViewState, NewInsolesPastTheBoundAreNotShown) {
  Feeder f;
  const std::vector<uint8_t> frame = sensor_frame(1, std::vector<int32_t>(48, 10));
  for (size_t n = 0; n < ViewState::kMaxInsoles + 100; ++n) f.send(frame, "id" + std::to_string(n));
  f.send(sensor_frame(2, std::vector<int32_t>(48, 10)), "id0");
  EXPECT_EQ(f.snapshot().get_child("insoles").size(), ViewState::kMaxInsoles);
  EXPECT_EQ(f.insole(0).get<uint32_t>("seq"), 2u);
  EXPECT_EQ(f.insole(0).get<int>("frames"), 2);
}

// A foot walking a 1 s stride (60 % stance) at 100 Hz: the view tracks its
// contacts and foot offs and shows the stride and a cadence of 120 steps/min.
TEST(ViewState, WalkingShowsStridesCadenceAndEventsOnTheLoadTrace) {
  Feeder f;
  for (uint32_t n = 0; n < 1200; ++n) {
    const double phase = std::fmod(n * 0.01, 1.0);  // seconds into the stride
    const double ramp = std::clamp(std::min(phase, 0.6 - phase) / 0.05, 0.0, 1.0);
    InsoleResp msg;
    auto& sd = msg.sensor_data.emplace();
    sd.device_id = DEVICE_LEFT;
    sd.seq_num = n;
    sd.timestamp_ms = 1000 + n * 10;
    auto& p = sd.pressure_data.emplace();
    for (int k = 0; k < 48; ++k) p.pressure.push_back(static_cast<int32_t>(2 + 200 * ramp));
    f.send(frame_of(msg));
  }
  const ptree gait = f.insole(0).get_child("gait");
  EXPECT_NEAR(gait.get<double>("cadence_steps_per_min"), 120, 1);
  EXPECT_NEAR(gait.get<double>("stride.stride_s"), 1.0, 0.02);
  EXPECT_NEAR(gait.get<double>("stride.stance_pct"), 60, 5);
  const ptree& events = gait.get_child("events");
  ASSERT_GE(events.size(), 10u);
  int contacts = 0;
  for (const auto& [unused, ev] : events) contacts += ev.back().second.data() == "contact";
  EXPECT_NEAR(contacts, static_cast<int>(events.size()) / 2, 1);
}

TEST(ViewState, ResistancesOnlyAreCalibratedByTheSdkIntoNewtons) {
  Feeder f;
  std::vector<int32_t> raw(48, 0);
  raw[5] = 10000;
  raw[30] = 20000;
  f.send(sensor_frame(1, {}, raw));
  const ptree in = f.insole();
  EXPECT_EQ(in.get<std::string>("unit"), "N");
  std::vector<double> cells;
  for (const auto& [k, v] : in.get_child("cells")) cells.push_back(v.get_value<double>());
  ASSERT_EQ(cells.size(), 48u);
  EXPECT_NEAR(cells[5], tvis::pressure::calibrate_channel(10000, 5, 2), 1e-3);
  EXPECT_NEAR(cells[30], tvis::pressure::calibrate_channel(20000, 30, 2), 1e-3);
  EXPECT_EQ(cells[0], 0);
}

TEST(ViewState, CentreOfPressureWeighsTheLayoutsCellsAndMirrorsTheRightFoot) {
  const CellLayout layout = load_layout("");
  std::vector<double> loads(48, 0);
  EXPECT_FALSE(centre_of_pressure(layout, loads, false));
  loads[3] = 1;
  loads[40] = 3;
  const Point left = *centre_of_pressure(layout, loads, false);
  EXPECT_NEAR(left.x, (layout.cells[3].x + 3 * layout.cells[40].x) / 4, 1e-9);
  EXPECT_NEAR(left.y, (layout.cells[3].y + 3 * layout.cells[40].y) / 4, 1e-9);
  const Point right = *centre_of_pressure(layout, loads, true);
  EXPECT_NEAR(right.x, -left.x, 1e-9);
  loads[10] = -50;  // a negative reading carries no load
  EXPECT_NEAR(centre_of_pressure(layout, loads, false)->y, left.y, 1e-9);
}

TEST(ViewState, DeviceTextsEventsAndUpdatesKeepTheSnapshotJson) {
  Feeder f;
  InsoleResp info;
  auto& d = info.device_info.emplace();
  d.model_name = "model \"X\"\n\\";
  d.fw_version = "1.2.3";
  f.send(frame_of(info));
  InsoleResp event;
  event.device_event.emplace().type = EVENT_WEAR_ON;
  f.send(frame_of(event));
  f.state_.on_dfu("left", {3, 42.5, 1.5, 3.0, "Uploading offset: 4096"});
  const ptree in = f.insole();
  EXPECT_EQ(in.get<std::string>("device_info.model"), "model \"X\"\n\\");
  std::vector<std::string> events;
  for (const auto& [k, v] : in.get_child("events")) events.push_back(std::next(v.begin())->second.data());
  EXPECT_EQ(events, (std::vector<std::string>{"device info", "wear on", "update uploading"}));
  EXPECT_DOUBLE_EQ(in.get<double>("dfu.pct"), 42.5);
  EXPECT_EQ(in.get<std::string>("dfu.message"), "Uploading offset: 4096");
}

TEST(ViewState, LayoutParserTakesBothPointFormsAndNamesTheFault) {
  std::string cells;
  for (int i = 0; i < 48; ++i) cells += (i ? "," : "") + std::string("{\"index\":") + std::to_string(i) +
                                        ",\"x\":1,\"y\":2,\"w\":3,\"h\":4}";
  const CellLayout layout =
      parse_layout("{\"cells\":[" + cells + "],\"outline\":[[0,0],{\"x\":5,\"y\":6}],\"shear\":[[1,1]]}");
  ASSERT_EQ(layout.outline.size(), 2u);
  EXPECT_EQ(layout.outline[1].y, 6);
  EXPECT_EQ(layout.cells[47].h, 4);
  try {
    parse_layout("{\"cells\":[" + cells + "],\"shear\":[[1,1],[2,2],[3,3],[4,4]]}");
    FAIL() << "four shear points taken";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "shear has more than 3 points");
  }
}

}  // namespace
}  // namespace insole
