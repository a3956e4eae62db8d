// A virtual insole fed whatever the host might write, at whatever times, with
// its scenario controls pulled in between. Everything it sends must come in
// pieces no longer than its MTU, stay within its output bound, and (with no
// link faults switched on) reassemble into frames whose payloads decode.
//
// Input layout: byte 0 configures the insole (bit 0 strict destination,
// bit 1 right foot, bit 2 link faults, bits 3-5 the MTU); then records of
// [op][arg][bytes]: op % 4 == 0 writes arg bytes as they are, 1 advances the
// clock by (arg + 1) x 7 ms (12 s in all at most), 2 pulls a control
// (arg % 6), 3 writes arg bytes as the payload of a well-formed frame for
// destination op >> 6.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "protocol/codec.h"
#include "protocol/frame.h"
#include "protocol/parser.h"
#include "sim/virtual_insole.h"

namespace {

inline void require(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr size_t kMtus[] = {1, 7, 20, 23, 100, 244, 512, 64};
// Simulated time per input: a stream at 1000 Hz would otherwise make one
// input take seconds.
constexpr uint64_t kMaxTime = 12'000'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using namespace tvis;
  sim::Config config;
  config.strict_dest = data[0] & 1;
  config.identity.foot = (data[0] & 2) ? 3 : 2;
  const bool faults = data[0] & 4;
  if (faults) config.faults = {.loss = 0.1, .corruption = 0.1, .duplication = 0.1, .delay = 0.1, .delay_ms = 50};
  config.mtu_payload = kMtus[(data[0] >> 3) & 7];
  config.max_queued_bytes = 32 * 1024;
  config.max_image_size = 64 * 1024;
  config.ota_idle_timeout_ms = 4000;
  sim::VirtualInsole insole(config);
  protocol::InsoleStreamParser host;
  uint64_t now = 0;

  auto check_output = [&] {
    require(insole.queued_bytes() <= config.max_queued_bytes);
    insole.drain([&](const sim::Output& o) {
      if (o.kind != sim::Output::Kind::Notification) return host.clear();
      require(!o.bytes.empty() && o.bytes.size() <= config.mtu_payload);
      host.feed(o.bytes, [&](const protocol::ParserEvent& ev) {
        if (faults) return;
        require(!std::holds_alternative<protocol::CrcMismatch>(ev) && !std::holds_alternative<protocol::DroppedByte>(ev));
        if (const auto* f = std::get_if<protocol::FrameReceived>(&ev)) require(protocol::decode_insole_resp(f->frame.payload).ok());
      });
    });
  };

  for (size_t pos = 1; pos + 2 <= size;) {
    const uint8_t op = data[pos], arg = data[pos + 1];
    pos += 2;
    const size_t len = (op & 3) == 0 || (op & 3) == 3 ? std::min<size_t>(arg, size - pos) : 0;
    const std::span<const uint8_t> bytes(data + pos, len);
    pos += len;
    switch (op & 3) {
      case 0:
        insole.write(bytes);
        break;
      case 1:
        now = std::min(now + (arg + 1u) * 7000u, kMaxTime);
        insole.advance_to(now);
        break;
      case 2:
        switch (arg % 6) {
          case 0: insole.set_activity(static_cast<sim::Activity>((arg / 6) % 4)); break;
          case 1: insole.set_charging(true); break;
          case 2: insole.set_charging(false); break;
          case 3: insole.set_link(false); break;
          case 4: insole.set_link(true); break;
          case 5: insole.advance_to(now = std::min(now + 5'000'000, kMaxTime)); break;  // every timer falls due
        }
        break;
      case 3: {
        const uint8_t dest = static_cast<uint8_t>(op >> 6);
        insole.write(protocol::encode_frame({2, 0x21, 1, dest, 0}, bytes).value());
        break;
      }
    }
    check_output();
  }
  return 0;
}
