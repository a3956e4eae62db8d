// Requests as the insole serves them: settings first, then update content,
// then queries, all in one answer with the msg_id echoed and the first
// failure as err_code.
#include <algorithm>

#include "log/log.h"
#include "protocol/codec.h"
#include "sim/insole_state.h"

namespace tvis::sim {

namespace {

constexpr uint32_t kMaxRateHz = 1000;
constexpr size_t kMaxFactoryText = 64;

bool valid_mode(int32_t mode) { return mode >= 0 && mode <= 2; }
bool valid_rate(bool on, uint32_t rate) { return !on || (rate >= 1 && rate <= kMaxRateHz); }

}  // namespace

void VirtualInsole::State::apply_sensor_config(const SensorConfig& want, int32_t& err) {
  bool ok = true;
  if (want.imu_config) {
    const ImuConfig& c = *want.imu_config;
    ok &= valid_mode(c.mode) && valid_rate(c.acc_subscription || c.gyro_subscription, c.sample_rate_hz);
  }
  if (want.pressure_config)
    ok &= valid_mode(want.pressure_config->mode) &&
          valid_rate(want.pressure_config->subscription, want.pressure_config->sample_rate_hz);
  if (want.shear_config)
    ok &= valid_mode(want.shear_config->mode) &&
          valid_rate(want.shear_config->subscription, want.shear_config->sample_rate_hz);
  if (!ok) {
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": sensor configuration refused (mode above 2 or rate outside 1..",
             kMaxRateHz, " Hz)");
    err = err == OK ? PARAM_ERROR : err;
    return;
  }
  // A part left out, or an offset left out, keeps what is in force.
  if (want.imu_config) {
    std::optional<ImuOffset> keep = sensor.imu_config->imu_offset;
    sensor.imu_config = want.imu_config;
    if (!sensor.imu_config->imu_offset) sensor.imu_config->imu_offset = keep;
  }
  if (want.pressure_config) sensor.pressure_config = want.pressure_config;
  if (want.shear_config) {
    std::optional<ShearOffset> keep = sensor.shear_config->shear_offset;
    sensor.shear_config = want.shear_config;
    if (!sensor.shear_config->shear_offset) sensor.shear_config->shear_offset = keep;
  }
  if (streaming) {
    if (any_subscribed()) start_stream();
    else stop_stream();
  }
}

bool VirtualInsole::State::apply_factory_config(const FactoryConfig& fc, int32_t& err) {
  auto fail = [&](const char* why) {
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": factory configuration refused (", why, ")");
    if (err == OK) err = PARAM_ERROR;
    return false;
  };
  if (!id.factory_key.empty() && fc.factory_key != id.factory_key) return fail("wrong factory key");
  if (fc.device_id != 0 && fc.device_id != DEVICE_LEFT && fc.device_id != DEVICE_RIGHT) return fail("not a foot");
  // The insole stores each text in a fixed field.
  for (const std::string* text : {&fc.serial_number, &fc.model_name, &fc.mac_address})
    if (text->size() > kMaxFactoryText) return fail("a text longer than 64 bytes");
  // Proto3 cannot tell an empty text from none: empty keeps the value.
  if (!fc.serial_number.empty()) id.serial_number = fc.serial_number;
  if (fc.device_id != 0) id.foot = fc.device_id;
  if (!fc.model_name.empty()) id.model_name = fc.model_name;
  if (!fc.mac_address.empty()) id.mac = fc.mac_address;
  return true;
}

FactoryConfig VirtualInsole::State::factory_config() const {
  FactoryConfig fc;
  fc.serial_number = id.serial_number;
  fc.device_id = id.foot;
  fc.model_name = id.model_name;
  fc.mac_address = id.mac;
  return fc;  // the key is never read back
}

DeviceInfo VirtualInsole::State::device_info() const {
  return DeviceInfo{id.foot, id.serial_number, id.product_id, id.model_name, id.fw_version,
                    id.hw_version, id.git_commit, id.mac};
}

void VirtualInsole::State::handle_request(const InsoleReq& req) {
  clear(msg);
  msg.msg_id = req.msg_id;
  int32_t err = OK;
  auto refuse = [&](int32_t code) {
    if (err == OK) err = code;
  };
  const bool any = req.get_device_info || req.get_runtime_info || req.get_battery || req.get_sensor_config ||
                   req.get_device_status || req.get_factory_config || req.set_sensor_config || req.stream_ctrl ||
                   req.set_factory_config || req.ota_req || req.ota_data;
  if (!any) {
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": request ", req.msg_id, " asks for nothing");
    refuse(INVALID_COMMAND);
  }

  // Settings first, so queries in the same request see them.
  if (req.set_factory_config) {
    if (!cfg.factory_access) refuse(NOT_SUPPORTED);
    else if (busy()) refuse(BUSY);
    else if (apply_factory_config(*req.set_factory_config, err)) msg.factory_config = factory_config();
  }
  if (req.set_sensor_config) {
    if (busy()) refuse(BUSY);
    else apply_sensor_config(*req.set_sensor_config, err);
    msg.sensor_config = sensor;
  }
  if (req.stream_ctrl) {
    if (busy()) {
      refuse(BUSY);
    } else if (req.stream_ctrl->cmd == STREAM_CMD_START) {
      if (!any_subscribed()) refuse(NOT_READY);
      else if (!streaming) start_stream();
    } else if (req.stream_ctrl->cmd == STREAM_CMD_STOP) {
      stop_stream();
    } else {
      refuse(PARAM_ERROR);
    }
  }

  bool answer = true, ota_content = false;
  if (req.ota_req) {
    ota_content = true;
    answer = handle_ota_req(*req.ota_req, err);
  }
  if (answer && req.ota_data) {
    ota_content = true;
    answer = handle_ota_data(*req.ota_data, err);
  }
  if (!answer) return;

  if (req.get_device_info) msg.device_info = device_info();
  if (req.get_runtime_info) msg.runtime_info = RuntimeInfo{boot_rtc_ms, static_cast<uint64_t>(device_us(now) / 1000.0)};
  if (req.get_battery) msg.battery_data = battery_data();
  if (req.get_sensor_config) msg.sensor_config = sensor;
  if (req.get_device_status)
    msg.device_status = DeviceStatus{gait.activity() != Activity::Idle, true, true, true, 0};
  if (req.get_factory_config) {
    if (cfg.factory_access) msg.factory_config = factory_config();
    else refuse(NOT_SUPPORTED);
  }
  msg.err_code = err;
  ++stats.answers;
  if (ota_content) send_ota_answer();
  else send();
}

void VirtualInsole::State::refuse_frame(const InsoleReq* req, uint8_t dest) {
  ++stats.refused_dest;
  TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": frame for destination ", dest, " refused (this is ", id.foot, ")");
  clear(msg);
  msg.err_code = PARAM_ERROR;
  if (req) {
    msg.msg_id = req->msg_id;
    if (req->ota_req || req->ota_data) {
      int32_t err = PARAM_ERROR;
      ota_answer(ota_state_of(ota), 0, OTA_RESULT_ERR_UNKNOWN, err);
    }
  }
  send();
}

void VirtualInsole::State::handle_frame(const FrameHeader& header, std::span<const uint8_t> bytes) {
  ++stats.frames_in;
  auto req = decode_insole_req(bytes);
  if (cfg.strict_dest && header.dest_id && *header.dest_id != id.foot)
    return refuse_frame(req ? &req.value() : nullptr, *header.dest_id);
  if (!req) {
    ++stats.undecodable;
    TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": request does not decode: ", req.error().to_string());
    clear(msg);
    msg.err_code = INVALID_COMMAND;
    send();
    return;
  }
  handle_request(*req);
}

namespace {

// What the insole does with each thing the host's bytes hold, in stream order.
struct RequestHandler final : StreamHandler {
  VirtualInsole::State& s;
  uint64_t dropped = 0;
  explicit RequestHandler(VirtualInsole::State& state) : s(state) {}

  bool on_frame(MessageStream&, const StreamFrame& f) override {
    s.handle_frame(f.header, f.payload);
    return s.link_up;  // a dropped link empties the stream: nothing after it is read
  }
  void on_crc_dropped(MessageStream&, const FrameHeader&) override {
    ++s.stats.crc_errors;
    TVIS_LOG(log::Level::Warn, kTarget, s.cfg.name, ": frame with a bad CRC-16 dropped");
  }
  void on_dropped_byte(MessageStream&, uint8_t) override { ++dropped; }
  void on_overflow(MessageStream&, const BufferOverflow& o) override {
    ++s.stats.overflows;
    TVIS_LOG(log::Level::Warn, kTarget, s.cfg.name, ": reassembly buffer overflow (", o.buffer_len, " + ",
             o.incoming_len, " bytes); buffer dropped");
  }
};

}  // namespace

void VirtualInsole::State::write(std::span<const uint8_t> bytes) {
  if (!link_up) {
    stats.written_while_down += bytes.size();
    TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": ", bytes.size(), " bytes written while the link is down");
    return;
  }
  RequestHandler handler(*this);
  requests.feed(bytes, handler);
  stats.dropped_bytes += handler.dropped;
  if (handler.dropped) TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": skipped ", handler.dropped, " bytes outside frames");
}

}  // namespace tvis::sim
