#include "insole/console/foot_monitor.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "protocol/sequence.h"
#include "trova_insole_sdk.h"

namespace insole {

namespace {

struct Monitor {
  std::mutex mutex;
  std::map<std::string, FootState, std::less<>> feet;
};

// Leaked on purpose: a mock thread may still be inside a callback while the
// process exits.
Monitor& monitor() {
  static Monitor* m = new Monitor;
  return *m;
}

FootState& foot(Monitor& m, const char* id) {
  auto it = m.feet.find(std::string_view(id));
  if (it == m.feet.end()) it = m.feet.emplace(id, FootState{id}).first;
  return it->second;
}

void on_pressure(const char* id, const TvisPressureSample* s) {
  Monitor& m = monitor();
  std::lock_guard lock(m.mutex);
  FootState& f = foot(m, id);
  if (f.seen) f.lost += tvis::protocol::SequenceStep{f.seq, s->seq_num}.estimated_lost();
  f.seen = true;
  f.seq = s->seq_num;
  ++f.frames;
  f.pressure_count = std::min<uint8_t>(s->pressure_count, TVIS_PRESSURE_CHANNELS);
  std::copy_n(s->pressure, TVIS_PRESSURE_CHANNELS, f.pressure.begin());
}

void on_imu(const char* id, const TvisImuSample* s) {
  Monitor& m = monitor();
  std::lock_guard lock(m.mutex);
  FootState& f = foot(m, id);
  f.acc_mg = {s->acc_x_mg, s->acc_y_mg, s->acc_z_mg};
  f.gyro_dps = {s->gyro_x_dps, s->gyro_y_dps, s->gyro_z_dps};
}

void on_battery(const char* id, const TvisBatteryInfo* b) {
  Monitor& m = monitor();
  std::lock_guard lock(m.mutex);
  FootState& f = foot(m, id);
  f.has_battery = true;
  f.battery_pct = b->battery_pct;
  f.voltage_mv = b->voltage_mv;
}

}  // namespace

void attach_foot_monitor() {
  {
    Monitor& m = monitor();
    std::lock_guard lock(m.mutex);
    m.feet.clear();
  }
  tvis_set_pressure_callback(on_pressure);
  tvis_set_imu_callback(on_imu);
  tvis_set_battery_callback(on_battery);
}

void detach_foot_monitor() {
  tvis_set_pressure_callback(nullptr);
  tvis_set_imu_callback(nullptr);
  tvis_set_battery_callback(nullptr);
}

std::vector<FootState> foot_snapshot(const std::vector<std::string>& ids) {
  Monitor& m = monitor();
  std::lock_guard lock(m.mutex);
  std::vector<FootState> out;
  out.reserve(ids.size());
  for (const auto& id : ids) {
    auto it = m.feet.find(id);
    out.push_back(it != m.feet.end() ? it->second : FootState{id});
  }
  return out;
}

}  // namespace insole
