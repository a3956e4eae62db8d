// Requests to a virtual insole, encoded and the answers read by libprotobuf:
// each query answered in its own field with the msg_id echoed, settings
// applied and echoed, and every request that cannot be served answered with
// an error code instead of silence.
#include <google/protobuf/util/message_differencer.h>

#include "sim_support.h"

namespace {

using namespace sim_test;
using google::protobuf::FieldDescriptor;
using google::protobuf::util::MessageDifferencer;

std::vector<int> present_fields(const Resp& r) {
  std::vector<const FieldDescriptor*> fields;
  r.GetReflection()->ListFields(r, &fields);
  std::vector<int> numbers;
  for (const FieldDescriptor* f : fields) numbers.push_back(f->number());
  return numbers;
}

insole_ref::InsoleReq query(int field, uint32_t msg_id) {
  insole_ref::InsoleReq req;
  req.set_msg_id(msg_id);
  req.GetReflection()->SetBool(&req, req.GetDescriptor()->FindFieldByNumber(field), true);
  return req;
}

sim::Config identity_config() {
  sim::Config c;
  c.identity = {3, "SN-42", 77, "Model X", "2.1.0", "B3", "abc1234", "02:11:22:33:44:55", ""};
  c.battery_pct = 64.5;
  return c;
}

// Each query field 10..15 of InsoleReq is answered by the InsoleResp field of
// the same number and nothing else, with the insole's identity and state.
TEST(SimRequests, EachQueryAnsweredInTheFieldOfItsNumber) {
  Host h(identity_config());
  h.run_for(5 * kSecond);
  for (int field = 10; field <= 15; ++field) {
    const Resp r = h.ask(query(field, 1000 + field), 3);
    EXPECT_EQ(r.msg_id(), 1000u + field);
    EXPECT_EQ(present_fields(r), (std::vector<int>{1, field})) << field;
  }
  const Resp info = h.ask(query(10, 1));
  EXPECT_EQ(info.device_info().DebugString(),
            "device_id: DEVICE_RIGHT\nserial_number: \"SN-42\"\nproduct_id: 77\nmodel_name: \"Model X\"\n"
            "fw_version: \"2.1.0\"\nhw_version: \"B3\"\ngit_commit: \"abc1234\"\nmac: \"02:11:22:33:44:55\"\n");
  const Resp runtime = h.ask(query(11, 1));
  EXPECT_EQ(runtime.runtime_info().boot_time(), 1'700'000'000'000u);
  EXPECT_EQ(runtime.runtime_info().uptime_ms(), 5000u);
  const Resp battery = h.ask(query(12, 1));
  EXPECT_EQ(battery.battery_data().battery_pct(), 64u);
  EXPECT_EQ(battery.battery_data().status(), insole_ref::BATTERY_STATUS_NORMAL);
  EXPECT_GT(battery.battery_data().voltage_mv(), 3300u);
  const Resp status = h.ask(query(14, 1));
  EXPECT_TRUE(status.device_status().is_wearing());
  EXPECT_TRUE(status.device_status().pressure_calibrated());
  const Resp factory = h.ask(query(15, 1));
  EXPECT_EQ(factory.factory_config().serial_number(), "SN-42");
  EXPECT_EQ(factory.factory_config().device_id(), insole_ref::DEVICE_RIGHT);
  EXPECT_EQ(factory.factory_config().mac_address(), "02:11:22:33:44:55");
}

// The SDK's own builders: the configuration comes back as sent (offsets it
// left out keep the ones in force), the stream starts and stops on command,
// a factory write shows in the identity.
TEST(SimRequests, SettingsAppliedAndEchoed) {
  Host h;
  proto::StreamConfig want{100, 2, 1, 2, true, true, true, false, false};
  const Resp set = h.ask(*proto::sensor_stream_config_request(7, want));
  EXPECT_EQ(set.msg_id(), 7u);
  EXPECT_EQ(set.err_code(), insole_ref::OK);
  const auto& sc = set.sensor_config();
  EXPECT_EQ(sc.pressure_config().DebugString(), "subscription: true\nsample_rate_hz: 100\nmode: PRESSURE_MODE_BOTH\n");
  EXPECT_EQ(sc.imu_config().mode(), insole_ref::IMU_MODE_BOTH);
  EXPECT_FALSE(sc.imu_config().gyro_subscription());
  EXPECT_TRUE(sc.imu_config().has_imu_offset());
  EXPECT_TRUE(sc.shear_config().has_shear_offset());
  EXPECT_TRUE(MessageDifferencer::Equals(h.ask(query(13, 8)).sensor_config(), sc));
  EXPECT_FALSE(h.insole.streaming());

  EXPECT_EQ(present_fields(h.ask(proto::stream_ctrl_request(9, proto::STREAM_CMD_START))), std::vector<int>{1});
  h.run_for(kSecond);
  EXPECT_EQ(h.samples().size(), 100u);
  h.ask(proto::stream_ctrl_request(10, proto::STREAM_CMD_STOP));
  const size_t frames = h.got.size();
  h.run_for(kSecond);
  EXPECT_EQ(h.got.size(), frames);

  const Resp fc = h.ask(proto::set_factory_config_request(11, {"NEW-SN", 3, "", "AA:BB:CC:DD:EE:FF", "k"}));
  EXPECT_EQ(fc.err_code(), insole_ref::OK);
  EXPECT_EQ(fc.factory_config().serial_number(), "NEW-SN");
  EXPECT_EQ(fc.factory_config().model_name(), "Virtual Insole");  // empty text keeps the value
  EXPECT_EQ(fc.factory_config().factory_key(), "");                 // never read back
  const Resp info = h.ask(query(10, 12));
  EXPECT_EQ(info.device_info().device_id(), insole_ref::DEVICE_RIGHT);
  EXPECT_EQ(info.device_info().mac(), "AA:BB:CC:DD:EE:FF");
}

// Anything that cannot be served gets an error code with its msg_id, and
// leaves the insole as it was; the queries beside it are still answered.
TEST(SimRequests, FailuresAnsweredWithAnErrorCode) {
  sim::Config locked;
  locked.identity.factory_key = "secret";
  Host h(locked);
  const auto before = h.ask(query(13, 1)).sensor_config().SerializeAsString();
  auto err = [&](const insole_ref::InsoleReq& req) { return h.ask(req).err_code(); };

  insole_ref::InsoleReq empty;
  empty.set_msg_id(5);
  EXPECT_EQ(err(empty), insole_ref::INVALID_COMMAND);
  EXPECT_EQ(h.got.back().msg_id(), 5u);

  insole_ref::InsoleReq bad_mode = query(10, 6);
  bad_mode.mutable_set_sensor_config()->mutable_pressure_config()->set_mode(static_cast<insole_ref::PressureMode>(3));
  EXPECT_EQ(err(bad_mode), insole_ref::PARAM_ERROR);
  EXPECT_TRUE(h.got.back().has_device_info());
  EXPECT_EQ(h.got.back().sensor_config().SerializeAsString(), before);

  insole_ref::InsoleReq no_rate;
  no_rate.mutable_set_sensor_config()->mutable_pressure_config()->set_subscription(true);
  EXPECT_EQ(err(no_rate), insole_ref::PARAM_ERROR);
  insole_ref::InsoleReq bad_cmd;
  bad_cmd.mutable_stream_ctrl();
  EXPECT_EQ(err(bad_cmd), insole_ref::PARAM_ERROR);

  h.ask(proto::set_sensor_config_request(1, 0));  // everything off
  EXPECT_EQ(h.ask(proto::stream_ctrl_request(2, proto::STREAM_CMD_START)).err_code(), insole_ref::NOT_READY);
  EXPECT_EQ(h.ask(proto::set_factory_config_request(3, {"X", 2, "", "", "guess"})).err_code(),
            insole_ref::PARAM_ERROR);
  EXPECT_EQ(h.ask(proto::set_factory_config_request(3, {"X", 7, "", "", "secret"})).err_code(),
            insole_ref::PARAM_ERROR);
  EXPECT_EQ(h.ask(proto::set_factory_config_request(3, {std::string(65, 'S'), 2, "", "", "secret"})).err_code(),
            insole_ref::PARAM_ERROR);
  EXPECT_EQ(h.ask(query(10, 1)).device_info().serial_number(), "VI0000001");

  // A payload that is no InsoleReq (msg_id with wire type 2).
  h.write(proto::encode_frame({}, Bytes{0x0A, 0x00}).value());
  EXPECT_EQ(h.got.back().err_code(), insole_ref::INVALID_COMMAND);

  // While an update runs, settings are BUSY and queries still answered.
  insole_ref::InsoleReq start;
  start.mutable_ota_req()->set_cmd(insole_ref::OTA_CMD_START);
  start.mutable_ota_req()->set_file_size(1000);
  EXPECT_EQ(h.ask(start).ota_resp().state(), insole_ref::DOWNLOADING);
  EXPECT_EQ(h.ask(*proto::sensor_stream_config_request(4, {})).err_code(), insole_ref::BUSY);
  EXPECT_EQ(err(query(12, 1)), insole_ref::OK);
  // A chunk whose CRC-32 is wrong is asked for again, and said so.
  insole_ref::InsoleReq chunk;
  chunk.mutable_ota_data()->set_data(std::string(512, 'x'));
  const Resp again = h.ask(chunk);
  EXPECT_EQ(again.err_code(), insole_ref::PARAM_ERROR);
  EXPECT_EQ(again.ota_resp().DebugString(), "state: DOWNLOADING\n");

  sim::Config closed;
  closed.factory_access = false;
  Host shut(closed);
  EXPECT_EQ(shut.ask(query(15, 1)).err_code(), insole_ref::NOT_SUPPORTED);
}

// By default a frame for either foot is served (the update always addresses
// 2); a strict insole refuses frames for the other foot, saying so.
TEST(SimRequests, StrictDestinationRefusesTheOtherFoot) {
  sim::Config right;
  right.identity.foot = 3;
  Host lax(right);
  EXPECT_EQ(lax.ask(query(12, 1), 2).err_code(), insole_ref::OK);
  right.strict_dest = true;
  Host strict(right);
  const Resp refused = strict.ask(query(12, 4), 2);
  EXPECT_EQ(refused.err_code(), insole_ref::PARAM_ERROR);
  EXPECT_EQ(refused.msg_id(), 4u);
  EXPECT_FALSE(refused.has_battery_data());
  EXPECT_TRUE(strict.ask(query(12, 5), 3).has_battery_data());
  EXPECT_EQ(strict.insole.stats().refused_dest, 1u);
}

}  // namespace

namespace {

// Insoles numbered side by side never report the same unit, past 255 too,
// and the first is the default one.
TEST(VirtualIdentity, EachNumberIsAUnitOfItsOwn) {
  const sim::Identity first = sim::numbered_identity(1, proto::DEVICE_RIGHT);
  EXPECT_EQ(first.serial_number, sim::Identity{}.serial_number);
  EXPECT_EQ(first.mac, sim::Identity{}.mac);
  EXPECT_EQ(first.foot, proto::DEVICE_RIGHT);
  const sim::Identity many = sim::numbered_identity(300, proto::DEVICE_LEFT);
  EXPECT_EQ(many.serial_number, "VI0000300");
  EXPECT_EQ(many.mac, "02:00:00:00:01:2c");
  EXPECT_NE(sim::numbered_identity(2, proto::DEVICE_LEFT).mac, first.mac);
}

}  // namespace
