// Properties shared by the fuzz targets: whatever the decoder accepts must
// survive an encode/decode round trip unchanged, the fixed-capacity encoder
// must agree with the growable one, and decoding into a reused message must
// give the same result as decoding into a fresh one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/codec.h"

namespace fuzz {

using namespace tvis::protocol;

inline void require(bool ok) {
  if (!ok) __builtin_trap();
}

// NaN != NaN, so struct equality only means something without NaN floats.
inline bool has_nan(const InsoleResp& m) {
  if (!m.sensor_data || !m.sensor_data->imu_data) return false;
  const ImuData& imu = *m.sensor_data->imu_data;
  return std::isnan(imu.acc_scale) || std::isnan(imu.gyro_scale);
}
inline bool has_nan(const InsoleReq&) { return false; }

inline std::vector<uint8_t> encode(const InsoleResp& m) { return encode_insole_resp(m); }
inline std::vector<uint8_t> encode(const InsoleReq& m) { return encode_insole_req(m); }
inline auto decode_as(const InsoleResp&, std::span<const uint8_t> b) { return decode_insole_resp(b); }
inline auto decode_as(const InsoleReq&, std::span<const uint8_t> b) { return decode_insole_req(b); }
inline auto encode_into(const InsoleResp& m, std::span<uint8_t> out) { return encode_insole_resp_into(m, out); }
inline auto encode_into(const InsoleReq& m, std::span<uint8_t> out) { return encode_insole_req_into(m, out); }

// m is a message the decoder produced.
template <class M>
void check_roundtrip(const M& m) {
  const std::vector<uint8_t> once = encode(m);
  require(encoded_len(m) == once.size());

  auto again = decode_as(m, once);
  require(again.ok());
  if (!has_nan(m)) require(*again == m);
  require(encode(*again) == once);

  // The fixed-capacity encoder: the exact size fits and gives the same bytes;
  // one byte less is refused without touching the buffer.
  std::vector<uint8_t> buf(once.size() + 1, 0xA5);
  auto written = encode_into(m, std::span<uint8_t>(buf.data(), once.size()));
  require(written.ok() && *written == once.size());
  require(std::equal(once.begin(), once.end(), buf.begin()) && buf[once.size()] == 0xA5);
  if (!once.empty()) {
    std::fill(buf.begin(), buf.end(), 0x5A);
    auto refused = encode_into(m, std::span<uint8_t>(buf.data(), once.size() - 1));
    require(!refused.ok());
    require(refused.error().required == once.size() && refused.error().remaining == once.size() - 1);
    for (uint8_t b : buf) require(b == 0x5A);
  }
}

inline void check_error_text(const DecodeError& e) {
  static constexpr char kPrefix[] = "failed to decode Protobuf message: ";
  require(!e.description.empty());
  const std::string text = e.to_string();
  require(text.compare(0, sizeof kPrefix - 1, kPrefix) == 0);
  require(text.size() > e.description.size() &&
          text.compare(text.size() - e.description.size(), e.description.size(), e.description) == 0);
}

// Decodes a payload as InsoleResp twice (fresh, and into a message reused
// across calls so stale state from earlier inputs would show), checks both
// agree, and round-trips the result. Returns whether it decoded.
inline bool check_resp_payload(std::span<const uint8_t> payload) {
  static InsoleResp* reused = new InsoleResp;  // kept across inputs on purpose
  auto fresh = decode_insole_resp(payload);
  DecodeError err;
  const bool ok = decode_insole_resp_into(payload, *reused, err);
  require(ok == fresh.ok());
  if (!ok) {
    check_error_text(fresh.error());
    require(err.to_string() == fresh.error().to_string());
    return false;
  }
  require(encode_insole_resp(*reused) == encode_insole_resp(*fresh));
  if (!has_nan(*fresh)) require(*reused == *fresh);
  check_roundtrip(*fresh);
  return true;
}

}  // namespace fuzz
