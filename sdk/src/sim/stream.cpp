// The stream: samples on the insole's own clock, filled as the sensor
// configuration asks; and the body it measures, with its battery and events.
#include <algorithm>
#include <cmath>

#include "log/log.h"
#include "protocol/codec.h"
#include "sim/insole_state.h"

namespace tvis::sim {

namespace {

bool wants_calibrated(int32_t mode) { return mode != 1; }
bool wants_raw(int32_t mode) { return mode != 0; }

}  // namespace

bool VirtualInsole::State::any_subscribed() const {
  return (sensor.imu_config->acc_subscription || sensor.imu_config->gyro_subscription) ||
         sensor.pressure_config->subscription || sensor.shear_config->subscription;
}

uint32_t VirtualInsole::State::rate_of_frames() const {
  uint32_t r = 0;
  if (sensor.imu_config->acc_subscription || sensor.imu_config->gyro_subscription)
    r = std::max(r, sensor.imu_config->sample_rate_hz);
  if (sensor.pressure_config->subscription) r = std::max(r, sensor.pressure_config->sample_rate_hz);
  if (sensor.shear_config->subscription) r = std::max(r, sensor.shear_config->sample_rate_hz);
  return r;
}

void VirtualInsole::State::start_stream() {
  streaming = true;
  frame_rate = rate_of_frames();
  stream_start_dev_us = device_us(now);
  sample_n = 0;
  schedule_sample();
}

void VirtualInsole::State::stop_stream() {
  streaming = false;
  next_sample = kNever;
}

uint64_t VirtualInsole::State::host_of(double dev_us) const {
  return static_cast<uint64_t>(std::ceil(static_cast<double>(boot) + dev_us / drift()));
}

bool VirtualInsole::State::part_due(uint32_t r, uint64_t n) const {
  if (r >= frame_rate) return true;
  return (n * r) / frame_rate != ((n - 1) * r) / frame_rate;
}

void VirtualInsole::State::take_sample() {
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

BatteryData VirtualInsole::State::battery_data() const {
  BatteryData b;
  b.battery_pct = static_cast<uint32_t>(std::floor(battery));
  b.voltage_mv = static_cast<uint32_t>(3300.0 + 9.0 * battery + (charging ? 50.0 : 0.0));
  b.status = charging ? (battery >= 100.0 ? BATTERY_STATUS_FULL : BATTERY_STATUS_CHARGING) : BATTERY_STATUS_NORMAL;
  return b;
}

void VirtualInsole::State::update_battery() {
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

void VirtualInsole::State::change_activity(Activity a) {
  const Activity before = gait.activity();
  if (a == before) return;
  gait.set_activity(a, static_cast<double>(now - created) / 1e6);
  if ((before == Activity::Idle) != (a == Activity::Idle)) send_event(a == Activity::Idle ? EVENT_WEAR_OFF : EVENT_WEAR_ON);
}

void VirtualInsole::State::collect_truth() {
  if (!cfg.gait_truth) return;
  truth_scratch.clear();
  gait.truth_until(static_cast<double>(now - created) / 1e6, truth_scratch);
  for (const TruthEvent& e : truth_scratch) {
    const uint64_t host_us = created + static_cast<uint64_t>(std::llround(e.t * 1e6));
    const double dev_us = (static_cast<double>(host_us) - static_cast<double>(boot)) * drift();
    truth.push_back({e.event, static_cast<double>(cfg.clock_offset_ms) + dev_us / 1000.0, host_us});
  }
}

void VirtualInsole::State::next_schedule_segment() {
  segment = (segment + 1) % cfg.schedule.size();
  next_segment += std::max<uint64_t>(1, cfg.schedule[segment].seconds) * 1'000'000ull;
  change_activity(cfg.schedule[segment].activity);
}

}  // namespace tvis::sim
