#include "sim/virtual_insole.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "dfu/crc32.h"
#include "log/log.h"
#include "protocol/codec.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/parser.h"
#include "sim/output_queue.h"
#include "sim/random.h"
#include "sim/sensors.h"

namespace tvis::sim {

namespace {

using namespace protocol;

constexpr std::string_view kTarget = "trova_insole_sdk::sim";
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kHousekeepingUs = 1'000'000;
constexpr uint32_t kMaxRateHz = 1000;
constexpr uint32_t kMaxChunk = 512;
constexpr int kChunkRetries = 3;  // CRC failures in a row on one offset before the update is given up

enum class Ota : uint8_t { Idle, Receiving, Verifying, Verified };

const char* ota_name(Ota o) {
  switch (o) {
    case Ota::Idle: return "idle";
    case Ota::Receiving: return "receiving";
    case Ota::Verifying: return "verifying";
    case Ota::Verified: return "verified";
  }
  return "?";
}

int32_t ota_state_of(Ota o) {
  switch (o) {
    case Ota::Idle: return IDLE;
    case Ota::Receiving: return DOWNLOADING;
    case Ota::Verifying: return VERIFYING;
    case Ota::Verified: return REBOOTING;
  }
  return IDLE;
}

// The request-level error that goes with an update failure.
int32_t err_of(int32_t ota_result) {
  switch (ota_result) {
    case OTA_RESULT_OK: return OK;
    case OTA_RESULT_ERR_BUSY: return BUSY;
    case OTA_RESULT_ERR_SIZE:
    case OTA_RESULT_ERR_CHECKSUM: return PARAM_ERROR;
    case OTA_RESULT_ERR_LOW_BATTERY: return NOT_READY;
    case OTA_RESULT_ERR_VERSION: return NOT_SUPPORTED;
    case OTA_RESULT_ERR_FLASH: return HARDWARE_ERROR;
    default: return INVALID_COMMAND;
  }
}

uint64_t us_of_ms(uint64_t ms) { return ms * 1000; }

bool valid_mode(int32_t mode) { return mode >= 0 && mode <= 2; }
bool valid_rate(bool on, uint32_t rate) { return !on || (rate >= 1 && rate <= kMaxRateHz); }
bool wants_calibrated(int32_t mode) { return mode != 1; }
bool wants_raw(int32_t mode) { return mode != 0; }

std::string hex8(uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4) out[i] = digits[v & 0xF];
  return out;
}

}  // namespace

struct VirtualInsole::State {
  Config cfg;
  Identity id;
  Random noise;      // sensor noise
  Random fault_rng;  // notification faults: drawing them never shifts the signals
  GaitModel gait;
  InsoleStreamParser parser;
  OutputQueue out;
  Stats stats;

  uint64_t now = 0;
  uint64_t created = 0;
  uint64_t boot = 0;  // driver time of the last power-on
  uint64_t boot_rtc_ms = 0;

  // Link and power.
  bool link_up = true;
  bool powered = true;
  bool host_disconnected = false;
  uint64_t link_back_at = kNever;
  bool frames_fault_fired = false;

  // Stream.
  SensorConfig sensor;
  bool streaming = false;
  double stream_start_dev_us = 0.0;  // device time of the stream's start
  uint32_t frame_rate = 0;
  uint64_t sample_n = 0;  // samples of this stream so far
  uint64_t next_sample = kNever;
  uint32_t seq = 0;
  int64_t last_battery_second = -1;
  ImuOffset factory_imu_offset;
  ShearOffset factory_shear_offset;
  Readings readings;

  // Battery and activity.
  double battery = 80.0;
  bool charging = false;
  uint64_t battery_at = 0;
  uint64_t next_housekeeping = kNever;
  size_t segment = 0;
  uint64_t next_segment = kNever;

  // Firmware update.
  Ota ota = Ota::Idle;
  uint32_t file_size = 0;
  uint32_t file_crc = 0;
  std::vector<uint8_t> image;
  uint32_t chunks_received = 0;
  uint32_t ota_answers = 0;
  int bad_crc_run = 0;
  bool upload_fault_fired = false;
  uint64_t last_ota = 0;
  uint64_t verify_at = kNever;
  uint64_t auto_reboot_at = kNever;
  uint64_t boot_at = kNever;

  // Scratch kept between messages, so a stream sample allocates nothing.
  InsoleResp msg;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> frame;
  struct Pending {
    FrameHeader header;
    std::vector<uint8_t> payload;
  };
  std::vector<Pending> pending;
  size_t pending_count = 0;

  State(Config c, uint64_t now_us)
      : cfg(std::move(c)),
        id(cfg.identity),
        noise(mix64(cfg.seed) ^ static_cast<uint64_t>(cfg.identity.foot)),
        fault_rng(mix64(cfg.seed ^ 0xFA017ull)),
        gait(cfg.seed, cfg.identity.foot == DEVICE_RIGHT, cfg.body_mass_kg, cfg.cadence_spm,
             cfg.schedule.empty() ? cfg.activity : cfg.schedule.front().activity),
        out(cfg.max_queued_bytes) {
    if (id.foot != DEVICE_RIGHT) id.foot = DEVICE_LEFT;
    cfg.mtu_payload = std::clamp<size_t>(cfg.mtu_payload, 1, MAX_PIECE_LEN);
    now = created = battery_at = now_us;
    battery = std::clamp(cfg.battery_pct, 0.0, 100.0);
    charging = cfg.charging;
    sensor = standard_sensor_config(DEFAULT_SAMPLE_RATE_HZ);
    // Each unit leaves the factory with offsets of its own.
    Random r(mix64(cfg.seed ^ 0x0FF5E7ull) ^ static_cast<uint64_t>(id.foot));
    auto small = [&](int range) { return static_cast<int32_t>(r.below(2 * range + 1)) - range; };
    factory_imu_offset = {small(40), small(40), small(40), small(20), small(20), small(20)};
    factory_shear_offset = {small(50), small(50)};
    sensor.imu_config->imu_offset = factory_imu_offset;
    sensor.shear_config->shear_offset = factory_shear_offset;
    power_on(now_us);
    if (!cfg.schedule.empty()) next_segment = now_us + cfg.schedule.front().seconds * 1'000'000ull;
  }

  // ---- clock ----

  double drift() const { return 1.0 + cfg.drift_ppm * 1e-6; }
  double device_us(uint64_t t) const { return static_cast<double>(t - boot) * drift(); }
  uint32_t clock_ms_at(double dev_us) const {
    return static_cast<uint32_t>(cfg.clock_offset_ms + static_cast<uint64_t>(dev_us / 1000.0));
  }
  uint32_t clock_ms() const { return clock_ms_at(device_us(now)); }
  uint64_t rtc_ms(uint64_t t) const { return cfg.rtc_epoch_ms + (t - created) / 1000; }

  // ---- output ----

  FrameHeader out_header() const {
    return FrameHeader{kFrameVersion, kFrameType, static_cast<uint8_t>(id.foot), kHostId, 0};
  }

  // Encodes msg into a frame and queues it in notification-sized pieces, the
  // link faults applied per piece. Returns false when nothing was queued.
  bool send(uint64_t delay_us = 0) {
    if (!link_up) return false;
    const size_t len = encoded_len(msg);
    payload.resize(len);
    if (!encode_insole_resp_into(msg, payload)) return false;
    if (len > MAX_PAYLOAD_LEN) return false;
    frame.resize(frame_len(kFrameVersion, len));
    encode_frame_into(out_header(), payload, frame.data());
    if (!out.has_room(frame.size())) {
      ++stats.overflowed;
      if (out.note_overflow())
        TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": output queue full (", out.queued_bytes(),
                 " bytes undelivered); dropping frames until the driver drains");
      return false;
    }
    ++stats.frames_out;
    const Faults& f = cfg.faults;
    for (size_t pos = 0; pos < frame.size(); pos += cfg.mtu_payload) {
      std::span<uint8_t> piece(frame.data() + pos, std::min(cfg.mtu_payload, frame.size() - pos));
      uint64_t due = now + delay_us;
      if (fault_rng.chance(f.loss)) {
        ++stats.lost;
        continue;
      }
      if (fault_rng.chance(f.corruption)) {
        piece[fault_rng.below(piece.size())] ^= static_cast<uint8_t>(1u << fault_rng.below(8));
        ++stats.corrupted;
      }
      if (fault_rng.chance(f.delay)) {
        due += us_of_ms(f.delay_ms);
        ++stats.delayed;
      }
      const int copies = fault_rng.chance(f.duplication) ? 2 : 1;
      stats.duplicated += copies - 1;
      for (int c = 0; c < copies; ++c) {
        out.push(Output::Kind::Notification, piece, due);
        ++stats.notifications;
      }
    }
    if (f.disconnect_after_frames != 0 && !frames_fault_fired && stats.frames_out >= f.disconnect_after_frames) {
      frames_fault_fired = true;
      TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected disconnect after ", stats.frames_out, " frames");
      drop_link(now + us_of_ms(cfg.link_down_ms));
    }
    return true;
  }

  void send_event(int32_t type) {
    if (!link_up) return;
    clear(msg);
    auto& e = msg.device_event.emplace();
    e.timestamp_ms = clock_ms();
    e.type = type;
    if (send()) ++stats.events;
  }

  // ---- link and power ----

  void drop_link(uint64_t back_at) {
    if (!link_up) {
      link_back_at = std::min(link_back_at, back_at);
      return;
    }
    link_up = false;
    link_back_at = back_at;
    ++stats.link_drops;
    out.cut_after(now);
    out.push(Output::Kind::LinkDropped, {}, now);
    parser.release();
    stop_stream();
    if (ota != Ota::Idle && boot_at == kNever) abandon_update("the link dropped");
  }

  void restore_link() {
    link_back_at = kNever;
    if (link_up || !powered || host_disconnected || boot_at != kNever) return;
    link_up = true;
    out.push(Output::Kind::LinkRestored, {}, now);
  }

  void power_on(uint64_t t) {
    powered = true;
    boot = t;
    boot_rtc_ms = rtc_ms(t);
    seq = 0;
    last_battery_second = -1;
    next_housekeeping = t + kHousekeepingUs;
  }

  void power_off() {
    TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": battery empty, powering off");
    send_event(EVENT_LOW_BATTERY_POWER_OFF);
    drop_link(kNever);
    powered = false;
  }

  // Reboots, into the new image when one was verified. The link is down
  // while the insole restarts.
  void reboot(const char* why) {
    std::string version;
    if (ota == Ota::Verified) {
      version = version_of_image(image);
      id.fw_version = version;
      id.git_commit = hex8(file_crc);
      ++stats.updates_completed;
    }
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": rebooting (", why, ")",
             version.empty() ? std::string() : ", firmware " + version);
    reset_update();
    boot_at = now + us_of_ms(cfg.reboot_ms);
    drop_link(kNever);
  }

  // ---- stream ----

  bool any_subscribed() const {
    return (sensor.imu_config->acc_subscription || sensor.imu_config->gyro_subscription) ||
           sensor.pressure_config->subscription || sensor.shear_config->subscription;
  }

  uint32_t rate_of_frames() const {
    uint32_t r = 0;
    if (sensor.imu_config->acc_subscription || sensor.imu_config->gyro_subscription)
      r = std::max(r, sensor.imu_config->sample_rate_hz);
    if (sensor.pressure_config->subscription) r = std::max(r, sensor.pressure_config->sample_rate_hz);
    if (sensor.shear_config->subscription) r = std::max(r, sensor.shear_config->sample_rate_hz);
    return r;
  }

  void start_stream() {
    streaming = true;
    frame_rate = rate_of_frames();
    stream_start_dev_us = device_us(now);
    sample_n = 0;
    schedule_sample();
  }

  void stop_stream() {
    streaming = false;
    next_sample = kNever;
  }

  // Samples fall on the insole's own clock; the driver's time of sample n
  // follows from it through the drift.
  double sample_dev_us(uint64_t n) const { return stream_start_dev_us + static_cast<double>(n) * 1e6 / frame_rate; }
  void schedule_sample() { next_sample = host_of(sample_dev_us(sample_n + 1)); }
  uint64_t host_of(double dev_us) const {
    return static_cast<uint64_t>(std::ceil(static_cast<double>(boot) + dev_us / drift()));
  }

  // Whether a part sampled at rate r has a sample in frame n of a stream
  // running at the frame rate.
  bool part_due(uint32_t r, uint64_t n) const {
    if (r >= frame_rate) return true;
    return (n * r) / frame_rate != ((n - 1) * r) / frame_rate;
  }

  void take_sample() {
    ++sample_n;
    ++seq;
    ++stats.samples;
    const double dev = sample_dev_us(sample_n);
    schedule_sample();
    if (!out.has_room(512)) {
      // The radio is behind: the sample is lost, its number is not.
      ++stats.samples_dropped;
      ++stats.overflowed;
      return;
    }
    const FootState foot = gait.at(static_cast<double>(host_of(dev) - created) / 1e6);
    read_sensors(foot, id.foot, noise, readings);

    clear(msg);
    SensorData& sd = msg.sensor_data.emplace();
    sd.device_id = id.foot;
    sd.timestamp_ms = clock_ms_at(dev);
    sd.seq_num = seq;
    const ImuConfig& ic = *sensor.imu_config;
    if ((ic.acc_subscription || ic.gyro_subscription) && part_due(ic.sample_rate_hz, sample_n)) {
      ImuData& imu = sd.imu_data.emplace();
      const ImuOffset& o = *ic.imu_offset;
      const int32_t* acc = readings.acc.data();
      const int32_t* gyro = readings.gyro.data();
      if (ic.acc_subscription && wants_calibrated(ic.mode)) {
        imu.acc_x = acc[0], imu.acc_y = acc[1], imu.acc_z = acc[2];
      }
      if (ic.acc_subscription && wants_raw(ic.mode)) {
        imu.raw_acc_x = acc[0] + o.acc_offset_x, imu.raw_acc_y = acc[1] + o.acc_offset_y;
        imu.raw_acc_z = acc[2] + o.acc_offset_z;
      }
      if (ic.gyro_subscription && wants_calibrated(ic.mode)) {
        imu.gyro_x = gyro[0], imu.gyro_y = gyro[1], imu.gyro_z = gyro[2];
      }
      if (ic.gyro_subscription && wants_raw(ic.mode)) {
        imu.raw_gyro_x = gyro[0] + o.gyro_offset_x, imu.raw_gyro_y = gyro[1] + o.gyro_offset_y;
        imu.raw_gyro_z = gyro[2] + o.gyro_offset_z;
      }
      imu.acc_scale = kAccScale;
      imu.gyro_scale = kGyroScale;
    }
    const PressureConfig& pc = *sensor.pressure_config;
    if (pc.subscription && part_due(pc.sample_rate_hz, sample_n)) {
      PressureData& p = sd.pressure_data.emplace();
      for (int i = 0; i < kCells; ++i) {
        if (wants_calibrated(pc.mode)) p.pressure.push_back(readings.load_mn[i]);
        if (wants_raw(pc.mode)) p.raw_pressure.push_back(readings.resistance[i]);
      }
    }
    const ShearConfig& sc = *sensor.shear_config;
    if (sc.subscription && part_due(sc.sample_rate_hz, sample_n)) {
      ShearData& s = sd.shear_data.emplace();
      const ShearOffset& o = *sc.shear_offset;
      for (int k = 0; k < kShearSensors; ++k) {
        if (wants_calibrated(sc.mode)) {
          s.shear_force_x.push_back(readings.shear_lat_mn[k]);
          s.shear_force_y.push_back(readings.shear_fwd_mn[k]);
        }
        if (wants_raw(sc.mode)) {
          // The shear channels count 10 mN per step above their offset.
          s.raw_shear_x.push_back(readings.shear_lat_mn[k] / 10 + o.shear_offset_x);
          s.raw_shear_y.push_back(readings.shear_fwd_mn[k] / 10 + o.shear_offset_y);
        }
      }
    }
    const int64_t second = static_cast<int64_t>(dev / 1e6);
    if (second != last_battery_second) {
      last_battery_second = second;
      sd.battery_data = battery_data();
    }
    send();
  }

  // ---- battery and activity ----

  BatteryData battery_data() const {
    BatteryData b;
    b.battery_pct = static_cast<uint32_t>(std::floor(battery));
    b.voltage_mv = static_cast<uint32_t>(3300.0 + 9.0 * battery + (charging ? 50.0 : 0.0));
    b.status = charging ? (battery >= 100.0 ? BATTERY_STATUS_FULL : BATTERY_STATUS_CHARGING) : BATTERY_STATUS_NORMAL;
    return b;
  }

  void update_battery() {
    const double hours = static_cast<double>(now - battery_at) * drift() / 3.6e9;
    battery_at = now;
    if (!powered && !charging) return;
    if (charging) {
      battery = std::min(100.0, battery + cfg.charge_pct_per_hour * hours);
    } else {
      battery -= (cfg.drain_pct_per_hour + (streaming ? cfg.stream_drain_pct_per_hour : 0.0)) * hours;
      if (battery <= 0.0) {
        battery = 0.0;
        power_off();
      }
    }
  }

  void change_activity(Activity a) {
    const Activity before = gait.activity();
    if (a == before) return;
    gait.set_activity(a, static_cast<double>(now - created) / 1e6);
    if ((before == Activity::Idle) != (a == Activity::Idle)) send_event(a == Activity::Idle ? EVENT_WEAR_OFF : EVENT_WEAR_ON);
  }

  void next_schedule_segment() {
    segment = (segment + 1) % cfg.schedule.size();
    next_segment += std::max<uint64_t>(1, cfg.schedule[segment].seconds) * 1'000'000ull;
    change_activity(cfg.schedule[segment].activity);
  }

  // ---- firmware update ----

  void reset_update() {
    ota = Ota::Idle;
    std::vector<uint8_t>().swap(image);
    verify_at = auto_reboot_at = kNever;
    bad_crc_run = 0;
  }

  void abandon_update(const char* why) {
    TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": firmware update given up in state ", ota_name(ota), " (", why,
             ")");
    reset_update();
  }

  // Sends msg as an update answer: it counts for the lost-answer fault and
  // leaves after the configured delay.
  void send_ota_answer() {
    ++ota_answers;
    if (cfg.faults.lose_ota_answer == ota_answers) {
      TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected loss of update answer ", ota_answers);
      return;
    }
    send(us_of_ms(cfg.faults.ota_answer_delay_ms));
  }

  void ota_answer(int32_t state, uint32_t offset, int32_t result, int32_t& err) {
    OtaResp& r = msg.ota_resp.emplace();
    r.state = state;
    r.offset = offset;
    r.result = result;
    if (result != OTA_RESULT_OK && err == OK) err = err_of(result);
  }

  bool stage_fault(OtaStage stage, const char* what) {
    if (cfg.faults.disconnect_in_ota != stage) return false;
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected disconnect on ", what);
    drop_link(now + us_of_ms(cfg.link_down_ms));
    return true;
  }

  // Returns false when the request ended the link instead of being answered.
  bool handle_ota_req(const OtaReq& req, int32_t& err) {
    last_ota = now;
    switch (req.cmd) {
      case OTA_CMD_START: {
        if (stage_fault(OtaStage::Handshake, "the handshake")) return false;
        int32_t refuse = OTA_RESULT_OK;
        if (cfg.faults.refuse_update != OTA_RESULT_OK) refuse = cfg.faults.refuse_update;
        else if (!charging && battery < cfg.ota_min_battery_pct) refuse = OTA_RESULT_ERR_LOW_BATTERY;
        else if (req.file_size == 0 || req.file_size > cfg.max_image_size) refuse = OTA_RESULT_ERR_SIZE;
        if (refuse != OTA_RESULT_OK) {
          TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": update of ", req.file_size, " bytes refused (result ",
                   refuse, ")");
          ota_answer(ota_state_of(ota), 0, refuse, err);
          return true;
        }
        if (ota != Ota::Idle) abandon_update("a new handshake");
        stop_stream();
        ota = Ota::Receiving;
        file_size = req.file_size;
        file_crc = req.file_crc32;
        image.reserve(std::min<size_t>(file_size, 64 * 1024));
        chunks_received = 0;
        upload_fault_fired = false;
        TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": update of ", file_size, " bytes started");
        ota_answer(DOWNLOADING, 0, OTA_RESULT_OK, err);
        return true;
      }
      case OTA_CMD_VERIFY:
        if (stage_fault(OtaStage::Verify, "verify")) return false;
        if (ota == Ota::Verifying || ota == Ota::Verified) {
          ota_answer(VERIFYING, file_size, OTA_RESULT_OK, err);  // asked again: still on it
        } else if (ota != Ota::Receiving) {
          ota_answer(IDLE, 0, OTA_RESULT_ERR_UNKNOWN, err);
        } else if (image.size() != file_size) {
          ota_answer(DOWNLOADING, static_cast<uint32_t>(image.size()), OTA_RESULT_ERR_SIZE, err);
          abandon_update("verify before the whole image");
        } else {
          ota = Ota::Verifying;
          verify_at = now + us_of_ms(cfg.verify_ms);
          ota_answer(VERIFYING, file_size, OTA_RESULT_OK, err);
        }
        return true;
      case OTA_CMD_REBOOT:
        if (stage_fault(OtaStage::Reboot, "reboot")) return false;
        reboot("asked by the host");
        return false;
      default:
        ota_answer(ota_state_of(ota), 0, OTA_RESULT_ERR_UNKNOWN, err);
        return true;
    }
  }

  bool handle_ota_data(const OtaData& d, int32_t& err) {
    last_ota = now;
    if (ota != Ota::Receiving) {
      ota_answer(ota_state_of(ota), 0, OTA_RESULT_ERR_UNKNOWN, err);
      return true;
    }
    const uint32_t expected = static_cast<uint32_t>(image.size());
    if (!upload_fault_fired && d.offset >= file_size / 2 && cfg.faults.disconnect_in_ota == OtaStage::Upload) {
      upload_fault_fired = true;
      stage_fault(OtaStage::Upload, "a chunk");
      return false;
    }
    ++chunks_received;
    if (d.offset != expected) {
      // Not the chunk asked for: ask again.
      TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": chunk at ", d.offset, " while expecting ", expected);
      ota_answer(DOWNLOADING, expected, OTA_RESULT_OK, err);
      err = PARAM_ERROR;
      return true;
    }
    if (d.data.empty() || d.data.size() > kMaxChunk || d.data.size() > file_size - expected) {
      TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": chunk of ", d.data.size(), " bytes at ", d.offset,
               " does not fit an image of ", file_size);
      ota_answer(DOWNLOADING, expected, OTA_RESULT_ERR_SIZE, err);
      abandon_update("a chunk of the wrong size");
      return true;
    }
    const Faults& f = cfg.faults;
    const bool corrupted = f.corrupt_chunk != 0 && chunks_received >= f.corrupt_chunk &&
                           chunks_received - f.corrupt_chunk < f.corrupt_chunk_count;
    if (corrupted || dfu::crc32(d.data) != d.crc32) {
      TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": chunk at ", d.offset, " failed its CRC-32 check",
               corrupted ? " (injected)" : "");
      if (++bad_crc_run >= kChunkRetries) {
        ota_answer(DOWNLOADING, expected, OTA_RESULT_ERR_CHECKSUM, err);
        abandon_update("a chunk failed its check three times");
      } else {
        ota_answer(DOWNLOADING, expected, OTA_RESULT_OK, err);
        err = PARAM_ERROR;
      }
      return true;
    }
    bad_crc_run = 0;
    image.insert(image.end(), d.data.begin(), d.data.end());
    const uint32_t next = static_cast<uint32_t>(image.size());
    ota_answer(next == file_size ? DOWNLOAD_FINISHED : DOWNLOADING, next, OTA_RESULT_OK, err);
    return true;
  }

  void finish_verify() {
    verify_at = kNever;
    clear(msg);
    int32_t err = OK;
    if (dfu::crc32(image) == file_crc) {
      ota = Ota::Verified;
      auto_reboot_at = now + us_of_ms(cfg.auto_reboot_ms);
      ota_answer(REBOOTING, file_size, OTA_RESULT_OK, err);
    } else {
      TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": image CRC-32 ", hex8(dfu::crc32(image)), " is not the announced ",
               hex8(file_crc));
      ota_answer(VERIFYING, file_size, OTA_RESULT_ERR_CHECKSUM, err);
      reset_update();
    }
    msg.err_code = err;
    send_ota_answer();
  }

  // ---- requests ----

  bool busy() const { return ota != Ota::Idle; }

  void apply_sensor_config(const SensorConfig& want, int32_t& err) {
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

  bool apply_factory_config(const FactoryConfig& fc, int32_t& err) {
    auto fail = [&](const char* why) {
      TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": factory configuration refused (", why, ")");
      if (err == OK) err = PARAM_ERROR;
      return false;
    };
    if (!id.factory_key.empty() && fc.factory_key != id.factory_key) return fail("wrong factory key");
    if (fc.device_id != 0 && fc.device_id != DEVICE_LEFT && fc.device_id != DEVICE_RIGHT) return fail("not a foot");
    // Proto3 cannot tell an empty text from none: empty keeps the value.
    if (!fc.serial_number.empty()) id.serial_number = fc.serial_number;
    if (fc.device_id != 0) id.foot = fc.device_id;
    if (!fc.model_name.empty()) id.model_name = fc.model_name;
    if (!fc.mac_address.empty()) id.mac = fc.mac_address;
    return true;
  }

  FactoryConfig factory_config() const {
    FactoryConfig fc;
    fc.serial_number = id.serial_number;
    fc.device_id = id.foot;
    fc.model_name = id.model_name;
    fc.mac_address = id.mac;
    return fc;  // the key is never read back
  }

  DeviceInfo device_info() const {
    return DeviceInfo{id.foot, id.serial_number, id.product_id, id.model_name, id.fw_version,
                      id.hw_version, id.git_commit, id.mac};
  }

  void handle_request(const InsoleReq& req) {
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

  // A frame for another foot, with strict addressing: refused, but answered
  // so the host learns why.
  void refuse_frame(const InsoleReq* req, uint8_t dest) {
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

  void handle_frame(const FrameHeader& header, std::span<const uint8_t> bytes) {
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

  void write(std::span<const uint8_t> bytes) {
    if (!link_up) {
      stats.written_while_down += bytes.size();
      TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": ", bytes.size(), " bytes written while the link is down");
      return;
    }
    // Frames are copied out and handled after the parser is done with the
    // bytes: handling one may drop the link, which empties the parser.
    pending_count = 0;
    uint64_t dropped = 0;
    parser.feed(bytes, [&](const ParserEvent& ev) {
      if (const auto* f = std::get_if<FrameReceived>(&ev)) {
        if (pending.size() == pending_count) pending.emplace_back();
        Pending& p = pending[pending_count++];
        p.header = f->frame.header;
        p.payload.assign(f->frame.payload.begin(), f->frame.payload.end());
      } else if (std::get_if<CrcMismatch>(&ev)) {
        ++stats.crc_errors;
        TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": frame with a bad CRC-16 dropped");
      } else if (std::get_if<DroppedByte>(&ev)) {
        ++dropped;
      } else if (const auto* o = std::get_if<BufferOverflow>(&ev)) {
        ++stats.overflows;
        TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": reassembly buffer overflow (", o->buffer_len, " + ",
                 o->incoming_len, " bytes); buffer dropped");
      }
    });
    stats.dropped_bytes += dropped;
    if (dropped) TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": skipped ", dropped, " bytes outside frames");
    for (size_t i = 0; i < pending_count && link_up; ++i) handle_frame(pending[i].header, pending[i].payload);
    // A burst of huge frames must not keep its storage for ever.
    if (pending.size() > 8) pending.resize(8);
    for (Pending& p : pending)
      if (p.payload.capacity() > 4096) std::vector<uint8_t>().swap(p.payload);
  }

  // ---- time ----

  uint64_t next_timer() const {
    uint64_t t = std::min({next_sample, next_housekeeping, next_segment, verify_at, auto_reboot_at, boot_at,
                           link_back_at});
    if (ota != Ota::Idle) t = std::min(t, last_ota + us_of_ms(cfg.ota_idle_timeout_ms));
    return t;
  }

  void advance_to(uint64_t target) {
    while (true) {
      const uint64_t t = next_timer();
      if (t > target) break;
      now = std::max(now, t);
      if (t == boot_at) {
        boot_at = kNever;
        power_on(now);
        restore_link();
      } else if (t == link_back_at) {
        restore_link();
      } else if (t == verify_at) {
        finish_verify();
      } else if (t == auto_reboot_at) {
        auto_reboot_at = kNever;
        reboot("no reboot request after verification");
      } else if (ota != Ota::Idle && t == last_ota + us_of_ms(cfg.ota_idle_timeout_ms)) {
        abandon_update("no request for too long");
      } else if (t == next_segment) {
        next_schedule_segment();
      } else if (t == next_housekeeping) {
        next_housekeeping = t + kHousekeepingUs;
        update_battery();
      } else if (t == next_sample) {
        if (streaming && link_up) take_sample();
        else next_sample = kNever;
      }
    }
    now = std::max(now, target);
  }
};

VirtualInsole::VirtualInsole(Config config, uint64_t now_us)
    : s_(std::make_unique<State>(std::move(config), now_us)) {}
VirtualInsole::~VirtualInsole() = default;
VirtualInsole::VirtualInsole(VirtualInsole&&) noexcept = default;
VirtualInsole& VirtualInsole::operator=(VirtualInsole&&) noexcept = default;

void VirtualInsole::write(std::span<const uint8_t> bytes) { s_->write(bytes); }
void VirtualInsole::advance_to(uint64_t now_us) { s_->advance_to(now_us); }

uint64_t VirtualInsole::next_due_us() const {
  uint64_t t = s_->next_timer();
  const uint64_t held = s_->out.first_due();
  if (held > s_->now) t = std::min(t, held);
  return t;
}

void VirtualInsole::drain(FunctionRef<void(const Output&)> sink) { s_->out.drain(s_->now, sink); }

std::vector<std::vector<uint8_t>> VirtualInsole::take_notifications() {
  std::vector<std::vector<uint8_t>> out;
  drain([&](const Output& o) {
    if (o.kind == Output::Kind::Notification) out.emplace_back(o.bytes.begin(), o.bytes.end());
  });
  return out;
}

void VirtualInsole::set_activity(Activity activity) {
  s_->cfg.schedule.clear();
  s_->next_segment = kNever;
  s_->change_activity(activity);
}

void VirtualInsole::set_charging(bool charging) {
  State& s = *s_;
  if (charging == s.charging) return;
  s.update_battery();
  s.charging = charging;
  if (charging && !s.powered && s.boot_at == kNever) {
    // A charger wakes an insole that ran flat.
    s.boot_at = s.now + us_of_ms(s.cfg.reboot_ms);
    return;
  }
  s.send_event(charging ? EVENT_CHARGING_CONNECTED : EVENT_CHARGING_DISCONNECTED);
}

void VirtualInsole::set_link(bool up) {
  State& s = *s_;
  s.host_disconnected = !up;
  if (up) s.restore_link();
  else s.drop_link(kNever);
}

void VirtualInsole::set_faults(const Faults& faults) {
  s_->cfg.faults = faults;
  s_->frames_fault_fired = false;
}

uint64_t VirtualInsole::now_us() const { return s_->now; }
bool VirtualInsole::connected() const { return s_->link_up; }
bool VirtualInsole::powered() const { return s_->powered; }
bool VirtualInsole::streaming() const { return s_->streaming; }
Activity VirtualInsole::activity() const { return s_->gait.activity(); }
double VirtualInsole::battery_pct() const { return s_->battery; }
uint32_t VirtualInsole::clock_ms() const { return s_->clock_ms(); }
protocol::DeviceInfo VirtualInsole::device_info() const { return s_->device_info(); }
protocol::SensorConfig VirtualInsole::sensor_config() const { return s_->sensor; }
const Stats& VirtualInsole::stats() const { return s_->stats; }
size_t VirtualInsole::queued_bytes() const { return s_->out.queued_bytes(); }

std::string VirtualInsole::version_of_image(std::span<const uint8_t> image) {
  static constexpr std::string_view kMarker = "VERSION=";
  const auto* begin = image.data();
  const auto* end = begin + image.size();
  const auto* at = std::search(begin, end, kMarker.begin(), kMarker.end());
  if (at != end) {
    std::string v;
    for (const auto* p = at + kMarker.size(); p != end && v.size() < 31 && *p > 0x20 && *p < 0x7F; ++p)
      v.push_back(static_cast<char>(*p));
    if (!v.empty()) return v;
  }
  return "sim-" + hex8(dfu::crc32(image));
}

}  // namespace tvis::sim
