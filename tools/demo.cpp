// A short demonstration of the SDK through its C face: a left and a right
// insole stream, cut into BLE-sized notifications with some line noise, fed
// through tvis_did_receive_data; every callback prints what it receives. Then
// a command frame is built as a host would write it.
#include <cstdio>
#include <random>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "trova_insole_sdk.h"

using namespace tvis::protocol;

namespace {

// What an insole sends 50 times a second, shaped like a real one.
std::vector<uint8_t> sensor_frame(int32_t foot, uint32_t seq) {
  InsoleResp msg;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = foot;
  sd.timestamp_ms = seq * 20;
  sd.seq_num = seq;
  auto& p = sd.pressure_data.emplace();
  for (int i = 0; i < 48; ++i) p.pressure.push_back(static_cast<int32_t>((i * 37 + seq * 11 + foot * 5) % 1001));
  auto& shear = sd.shear_data.emplace();
  for (int i = 0; i < 3; ++i) {
    shear.shear_force_x.push_back(10 * i - 7);
    shear.shear_force_y.push_back(3 * i + 1);
  }
  auto& imu = sd.imu_data.emplace();
  imu.acc_x = 12 * static_cast<int32_t>(seq);
  imu.acc_y = -40;
  imu.acc_z = 2048;
  imu.gyro_z = 160;
  imu.raw_acc_z = 2100;
  imu.acc_scale = 0.48828125f;
  imu.gyro_scale = 0.06103515625f;
  if (seq % 5 == 0) {
    auto& bat = sd.battery_data.emplace();
    bat.battery_pct = 90 - seq / 5;
    bat.voltage_mv = 3900;
  }
  FrameHeader header;
  return encode_frame(header, encode_insole_resp(msg)).value();
}

std::vector<uint8_t> device_info_frame(int32_t foot) {
  InsoleResp msg;
  auto& info = msg.device_info.emplace();
  info.device_id = foot;
  info.serial_number = foot == DEVICE_LEFT ? "TI-L-000123" : "TI-R-000124";
  info.model_name = "Insole Pro";
  info.fw_version = "2.4.1";
  FrameHeader header;
  return encode_frame(header, encode_insole_resp(msg)).value();
}

void on_pressure(const char* id, const TvisPressureSample* s) {
  std::printf("  %-5s pressure  seq=%-3u t=%-4ums cells=%u first=[%d %d %d %d]\n", id, s->seq_num, s->timestamp_ms,
              s->pressure_count, s->pressure[0], s->pressure[1], s->pressure[2], s->pressure[3]);
}
void on_shear(const char* id, const TvisShearSample* s) {
  std::printf("  %-5s shear     x=[%d %d %d] y=[%d %d %d]\n", id, s->shear_force_x[0], s->shear_force_x[1],
              s->shear_force_x[2], s->shear_force_y[0], s->shear_force_y[1], s->shear_force_y[2]);
}
void on_imu(const char* id, const TvisImuSample* s) {
  std::printf("  %-5s imu       acc=(%.1f, %.1f, %.1f) mg  gyro_z=%.2f dps\n", id, s->acc_x_mg, s->acc_y_mg,
              s->acc_z_mg, s->gyro_z_dps);
}
void on_battery(const char* id, const TvisBatteryInfo* b) {
  std::printf("  %-5s battery   %u%% %u mV (foot %u)\n", id, b->battery_pct, b->voltage_mv, b->device_id);
}
void on_device_info(const char* id, const TvisDeviceInfo* info) {
  std::printf("  %-5s info      serial=%s model=%s fw=%s\n", id, info->serial_number, info->model_name,
              info->fw_version);
}

}  // namespace

int main() {
  tvis_initialize_logging(2);  // warnings: shows the sequence gap below
  tvis_set_pressure_callback(on_pressure);
  tvis_set_shear_callback(on_shear);
  tvis_set_imu_callback(on_imu);
  tvis_set_battery_callback(on_battery);
  tvis_set_device_info_callback(on_device_info);

  std::mt19937 rng(2024);
  for (int32_t foot : {DEVICE_LEFT, DEVICE_RIGHT}) {
    const char* id = foot == DEVICE_LEFT ? "left" : "right";
    std::vector<uint8_t> stream = device_info_frame(foot);
    for (uint32_t seq = 1; seq <= 6; ++seq) {
      if (foot == DEVICE_RIGHT && seq == 4) continue;  // a lost packet
      auto frame = sensor_frame(foot, seq);
      stream.insert(stream.end(), frame.begin(), frame.end());
      if (seq == 2) stream.insert(stream.end(), {0x00, 0xFF, 0x54});  // line noise
    }
    std::printf("%s insole: %zu bytes\n", id, stream.size());
    for (size_t pos = 0; pos < stream.size();) {
      size_t n = std::min<size_t>(std::uniform_int_distribution<size_t>(20, 244)(rng), stream.size() - pos);
      tvis_did_receive_data(id, stream.data() + pos, n);
      pos += n;
    }
  }

  ByteBuffer cmd = tvis_build_enable_sensor_stream_request_with_dest(7, 50, TVIS_DEVICE_RIGHT);
  std::printf("command to write (start streaming at 50 Hz, right insole), %zu bytes:\n  ", cmd.len);
  for (size_t i = 0; i < cmd.len; ++i) std::printf("%02X", cmd.data[i]);
  std::printf("\n");
  tvis_free_bytes(cmd.data, cmd.len);
  return 0;
}
