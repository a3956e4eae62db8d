// Shared helpers of the virtual-insole tests: a host on simulated time that
// writes requests, collects what the insole sends, cuts it into frames with
// the SDK's parser and reads every payload with libprotobuf, the reference
// codec, so an answer is never judged by the code that wrote it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "insole.pb.h"
#include "protocol/commands.h"
#include "protocol/parser.h"
#include "sim/virtual_insole.h"

namespace sim_test {

using Bytes = std::vector<uint8_t>;
namespace proto = tvis::protocol;
namespace sim = tvis::sim;
using Resp = insole_ref::InsoleResp;

constexpr uint64_t kMs = 1000, kSecond = 1000 * kMs;

// A request encoded by libprotobuf and framed for the destination.
inline Bytes frame_of(const insole_ref::InsoleReq& req, uint8_t dest = 2) {
  const std::string payload = req.SerializeAsString();
  return proto::encode_frame({2, 0x21, 1, dest, 0}, {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()})
      .value();
}

struct Host {
  explicit Host(sim::Config config = {}) : insole(std::move(config)) {}

  sim::VirtualInsole insole;
  uint64_t now = 0;
  proto::InsoleStreamParser parser;
  std::vector<Resp> got;        // every frame, in order
  std::vector<size_t> pieces;   // notification sizes
  int drops = 0, restores = 0, bad_frames = 0;

  void write(const Bytes& bytes) {
    insole.write(bytes);
    pump();
  }
  void send(const insole_ref::InsoleReq& req, uint8_t dest = 2) { write(frame_of(req, dest)); }
  void send(const proto::InsoleReq& req, uint8_t dest = 2) { write(proto::frame_request(req, dest).value()); }

  // The answer to one request: the last frame it brought.
  template <class Req>
  Resp ask(const Req& req, uint8_t dest = 2) {
    const size_t before = got.size();
    send(req, dest);
    EXPECT_GT(got.size(), before) << "no answer";
    return got.size() > before ? got.back() : Resp{};
  }

  void run_for(uint64_t us, uint64_t step = 10 * kMs) {
    const uint64_t end = now + us;
    while (now < end) {
      now = std::min(end, now + step);
      insole.advance_to(now);
      pump();
    }
  }

  void pump() {
    insole.drain([&](const sim::Output& o) {
      if (o.kind != sim::Output::Kind::Notification) {
        (o.kind == sim::Output::Kind::LinkDropped ? drops : restores)++;
        parser.clear();
        return;
      }
      pieces.push_back(o.bytes.size());
      parser.feed(o.bytes, [&](const proto::ParserEvent& ev) {
        if (const auto* f = std::get_if<proto::FrameReceived>(&ev)) {
          Resp r;
          EXPECT_TRUE(r.ParseFromArray(f->frame.payload.data(), static_cast<int>(f->frame.payload.size())));
          got.push_back(std::move(r));
        } else if (std::holds_alternative<proto::CrcMismatch>(ev)) {
          ++bad_frames;
        }
      });
    });
  }

  std::vector<insole_ref::SensorData> samples() const {
    std::vector<insole_ref::SensorData> out;
    for (const Resp& r : got)
      if (r.has_sensor_data()) out.push_back(r.sensor_data());
    return out;
  }

  void start_stream(const proto::StreamConfig& config) {
    auto req = proto::sensor_stream_config_request(1, config);
    ASSERT_TRUE(req);
    EXPECT_EQ(ask(*req).err_code(), insole_ref::OK);
  }
};

inline double total_load_n(const insole_ref::SensorData& s) {
  double sum = 0;
  for (int32_t v : s.pressure_data().pressure()) sum += v / 1000.0;
  return sum;
}

}  // namespace sim_test
