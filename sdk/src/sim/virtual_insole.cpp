#include "sim/virtual_insole.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "util/crc32.h"
#include "log/log.h"
#include "protocol/codec.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "sim/insole_state.h"

namespace tvis::sim {

namespace {

constexpr uint64_t kHousekeepingUs = 1'000'000;

}  // namespace

Identity numbered_identity(uint64_t n, int32_t foot) {
  Identity identity;
  identity.foot = foot;
  char serial[32], mac[32];
  std::snprintf(serial, sizeof serial, "VI%07llu", static_cast<unsigned long long>(n));
  std::snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", static_cast<unsigned>((n >> 8) & 0xff),
                static_cast<unsigned>(n & 0xff));
  identity.serial_number = serial;
  identity.mac = mac;
  return identity;
}

VirtualInsole::State::State(Config c, uint64_t now_us)
    : cfg(std::move(c)),
      id(cfg.identity),
      noise(mix64(cfg.seed) ^ static_cast<uint64_t>(cfg.identity.foot)),
      fault_rng(mix64(cfg.seed ^ 0xFA017ull)),
      gait(cfg.seed, cfg.identity.foot == DEVICE_RIGHT, cfg.body_mass_kg, cfg.cadence_spm,
           cfg.schedule.empty() ? cfg.activity : cfg.schedule.front().activity),
      out(cfg.max_queued_bytes) {
  gait.keep_truth(cfg.gait_truth);
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

uint32_t VirtualInsole::State::clock_ms_at(double dev_us) const {
  return static_cast<uint32_t>(cfg.clock_offset_ms + static_cast<uint64_t>(dev_us / 1000.0));
}

FrameHeader VirtualInsole::State::out_header() const {
  return FrameHeader{kFrameVersion, kFrameType, static_cast<uint8_t>(id.foot), kHostId, 0};
}

bool VirtualInsole::State::send(uint64_t delay_us) {
  if (!link_up) return false;
  const size_t len = encoded_len(msg);
  payload.resize(len);
  if (!encode_insole_resp_into(msg, payload) || len > MAX_PAYLOAD_LEN) {
    TVIS_LOG(log::Level::Error, kTarget, cfg.name, ": a message of ", len, " bytes does not fit a frame");
    return false;
  }
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
    int copies = fault_rng.chance(f.duplication) ? 2 : 1;
    // The room checked above is the frame's own pieces: a duplicate goes
    // only where it leaves room for the rest of them, so the bound holds.
    const size_t still_to_send = frame.size() - pos - piece.size();
    if (copies == 2 && !out.has_room(2 * piece.size() + still_to_send)) copies = 1;
    stats.duplicated += copies - 1;
    for (int c = 0; c < copies; ++c) {
      out.push(Output::Kind::Notification, piece, due);
      ++stats.notifications;
    }
  }
  if (f.disconnect_after_frames != 0 && !frames_fault_fired &&
      stats.frames_out - frames_at_faults >= f.disconnect_after_frames) {
    frames_fault_fired = true;
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected disconnect after ", stats.frames_out, " frames");
    drop_link(now + us_of_ms(cfg.link_down_ms));
  }
  return true;
}

void VirtualInsole::State::send_event(int32_t type) {
  if (!link_up) return;
  clear(msg);
  auto& e = msg.device_event.emplace();
  e.timestamp_ms = clock_ms();
  e.type = type;
  if (send()) ++stats.events;
}

void VirtualInsole::State::drop_link(uint64_t back_at) {
  if (!link_up) {
    link_back_at = std::min(link_back_at, back_at);
    return;
  }
  link_up = false;
  link_back_at = back_at;
  ++stats.link_drops;
  out.cut_after(now);
  out.push(Output::Kind::LinkDropped, {}, now);
  requests.reset();  // safe in a delivery: the request handler stops once the link is down
  stop_stream();
  if (ota != Ota::Idle && boot_at == kNever) abandon_update("the link dropped");
}

void VirtualInsole::State::restore_link() {
  link_back_at = kNever;
  if (link_up || !powered || host_disconnected || boot_at != kNever) return;
  link_up = true;
  out.push(Output::Kind::LinkRestored, {}, now);
}

void VirtualInsole::State::power_on(uint64_t t) {
  // Events before this power-on belong to the clock of the one before.
  collect_truth();
  powered = true;
  boot = t;
  boot_rtc_ms = rtc_ms(t);
  seq = 0;
  last_battery_second = -1;
  next_housekeeping = t + kHousekeepingUs;
}

void VirtualInsole::State::power_off() {
  TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": battery empty, powering off");
  send_event(EVENT_LOW_BATTERY_POWER_OFF);
  drop_link(kNever);
  powered = false;
}

void VirtualInsole::State::reboot(const char* why) {
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

uint64_t VirtualInsole::State::next_timer() const {
  uint64_t t = std::min({next_sample, next_housekeeping, next_segment, verify_at, auto_reboot_at, boot_at,
                         link_back_at});
  if (ota != Ota::Idle) t = std::min(t, last_ota + us_of_ms(cfg.ota_idle_timeout_ms));
  return t;
}

void VirtualInsole::State::advance_to(uint64_t target) {
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
  s_->frames_at_faults = s_->stats.frames_out;
}

uint64_t VirtualInsole::now_us() const { return s_->now; }
bool VirtualInsole::connected() const { return s_->link_up; }
bool VirtualInsole::powered() const { return s_->powered; }
bool VirtualInsole::streaming() const { return s_->streaming; }
std::vector<GaitTruth> VirtualInsole::take_truth() {
  s_->collect_truth();
  return std::exchange(s_->truth, {});
}

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
  return "sim-" + hex8(crc32(image));
}

}  // namespace tvis::sim
