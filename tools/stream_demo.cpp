// Generates a left and a right insole stream, cuts it into BLE-sized pieces
// with some line noise between them, reassembles and decodes it, and prints
// what was found.
#include <cstdio>
#include <random>
#include <vector>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "protocol/parser.h"

using namespace tvis::protocol;

namespace {

InsoleResp sensor_message(int32_t foot, uint32_t seq) {
  InsoleResp msg;
  msg.msg_id = seq;
  auto& sd = msg.sensor_data.emplace();
  sd.device_id = foot;
  sd.timestamp_ms = seq * 20;
  sd.seq_num = seq;
  auto& p = sd.pressure_data.emplace();
  for (int i = 0; i < 48; ++i) p.pressure.push_back(static_cast<int32_t>((i * 37 + seq * 11) % 1001));
  auto& imu = sd.imu_data.emplace();
  imu.acc_x = 10 * static_cast<int32_t>(seq);
  imu.acc_z = 2048;
  imu.gyro_y = -5;
  imu.acc_scale = 0.48828125f;
  imu.gyro_scale = 0.06103515625f;
  auto& bat = sd.battery_data.emplace();
  bat.battery_pct = 87;
  bat.voltage_mv = 3950;
  return msg;
}

}  // namespace

int main() {
  std::vector<uint8_t> stream;
  std::mt19937 rng(7);
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    FrameHeader header;
    header.dest_id = 2;
    auto frame = encode_frame(header, encode_insole_resp(sensor_message(seq % 2 ? DEVICE_LEFT : DEVICE_RIGHT, seq)));
    stream.insert(stream.end(), frame->begin(), frame->end());
    if (seq == 4) stream.insert(stream.end(), {0x00, 0x54, 0x52, 0xFF});  // noise, with a near-magic
  }
  stream[300] ^= 0x01;  // one corrupted byte: that frame arrives with a CRC mismatch

  InsoleStreamParser parser;
  size_t pos = 0, pieces = 0, dropped = 0;
  while (pos < stream.size()) {
    size_t n = std::min<size_t>(std::uniform_int_distribution<size_t>(20, 244)(rng), stream.size() - pos);
    ++pieces;
    parser.feed(std::span(stream).subspan(pos, n), [&](const ParserEvent& event) {
      if (std::holds_alternative<DroppedByte>(event)) {
        ++dropped;
        return;
      }
      const FrameView* view = nullptr;
      if (auto* f = std::get_if<FrameReceived>(&event)) view = &f->frame;
      if (auto* m = std::get_if<CrcMismatch>(&event)) {
        std::printf("frame with bad CRC (stored 0x%04X, computed 0x%04X)\n", m->expected, m->calculated);
        view = &m->frame;
      }
      if (!view) return;
      auto msg = decode_insole_resp(view->payload);
      if (!msg) {
        std::printf("undecodable payload: %s\n", msg.error().to_string().c_str());
        return;
      }
      const SensorData& sd = *msg->sensor_data;
      std::printf("%s seq=%u t=%ums pressure[0..3]=%d,%d,%d acc_x=%d battery=%u%% (%u bytes)\n",
                  sd.device_id == DEVICE_LEFT ? "left " : "right", sd.seq_num, sd.timestamp_ms,
                  sd.pressure_data->pressure[0], sd.pressure_data->pressure[1], sd.pressure_data->pressure[2],
                  sd.imu_data->acc_x, sd.battery_data->battery_pct, static_cast<unsigned>(view->payload.size()));
    });
    pos += n;
  }
  std::printf("%zu bytes in %zu pieces, %zu noise bytes dropped\n", stream.size(), pieces, dropped);
  return 0;
}
