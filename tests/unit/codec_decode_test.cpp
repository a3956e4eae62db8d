// Value rules, field order and skipping are checked against libprotobuf in
// tests/diff; here go what the reference cannot judge: the exact error texts
// with their field stacks, the nesting budget and reuse of a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "byte_text.h"
#include "protocol/codec.h"
#include "protocol/schema.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tvis::protocol;
using tvis::test::concat;
using tvis::test::hex_text;
using Bytes = std::vector<uint8_t>;

namespace {

const auto h = tvis::test::hex_bytes;

// A length-delimited field: key bytes, varint length, content.
Bytes ld(std::string_view key, const Bytes& content) {
  Bytes out = h(key);
  size_t n = content.size();
  for (; n >= 0x80; n >>= 7) out.push_back(static_cast<uint8_t>(n | 0x80));
  out.push_back(static_cast<uint8_t>(n));
  return concat({out, content});
}

// depth nested groups of the unknown field 99, each closed properly.
Bytes groups(int depth) {
  Bytes out;
  for (int i = 0; i < depth; ++i) out = concat({h("9B 06"), out, h("9C 06")});
  return out;
}

const std::string kPrefix = "failed to decode Protobuf message: ";
// Keys of sensor_data, imu_data and pressure_data inside it, device_info.
constexpr std::string_view kSensor = "F2 01", kImu = "52", kPressure = "5A", kInfo = "52";
const std::string kAccScale = "ImuData.acc_scale: SensorData.imu_data: InsoleResp.sensor_data: ";
const std::string kPressureAt = "PressureData.pressure: SensorData.pressure_data: InsoleResp.sensor_data: ";

}  // namespace

TEST(Decode, ErrorTextsNameTheFailureAndItsPath) {
  const struct { Bytes input; std::string text; /* after the common prefix */ } cases[] = {
      // A known field under a foreign wire type; every wire type name.
      {h("0A 00"), "InsoleResp.msg_id: invalid wire type: LengthDelimited (expected Varint)"},
      {h("09 00 00 00 00 00 00 00 00"), "InsoleResp.msg_id: invalid wire type: SixtyFourBit (expected Varint)"},
      {h("0B"), "InsoleResp.msg_id: invalid wire type: StartGroup (expected Varint)"},
      {h("0C"), "InsoleResp.msg_id: invalid wire type: EndGroup (expected Varint)"},
      {ld(kSensor, ld(kImu, h("68 01"))), kAccScale + "invalid wire type: Varint (expected ThirtyTwoBit)"},
      {ld(kInfo, h("15 00 00 00 00")),
       "DeviceInfo.serial_number: InsoleResp.device_info: invalid wire type: ThirtyTwoBit (expected LengthDelimited)"},
      {h("60 01"), "InsoleResp.battery_data: invalid wire type: Varint (expected LengthDelimited)"},
      {ld(kSensor, ld(kPressure, h("0D 00 00 00 00"))), kPressureAt + "invalid wire type: ThirtyTwoBit (expected Varint)"},
      {ld("FA 01", h("08 01 12 00")),
       "DeviceEvent.r#type: InsoleResp.device_event: invalid wire type: LengthDelimited (expected Varint)"},
      // Varints and keys.
      {h("08 80"), "InsoleResp.msg_id: invalid varint"},
      {h("08 FF FF FF FF FF FF FF FF FF 02"), "InsoleResp.msg_id: invalid varint"},  // tenth byte above 1
      {h("80 80 80 80 10 00"), "invalid key value: 4294967296"},
      {h("FF FF FF FF 0F"), "invalid wire type value: 7"},  // key 2^32-1 is in range
      {ld(kSensor, h("0E")), "InsoleResp.sensor_data: invalid wire type value: 6"},
      {h("02 00"), "invalid tag value: 0"},
      // Lengths and fixed sizes beyond the input, content beyond its length.
      {ld(kSensor, ld(kImu, h("6D 00 00"))), kAccScale + "buffer underflow"},
      {ld(kSensor, ld(kPressure, h("0A 05 01"))), kPressureAt + "buffer underflow"},
      {h("F2 01 02 52 02 08 01"), "InsoleResp.sensor_data: delimited length exceeded"},
      // A value running past its message's end ends the message there, even
      // when what follows reads as the message's next field.
      {h("F2 01 02 10 96 01 18 FF FF FF FF FF FF FF FF FF FF"), "InsoleResp.sensor_data: delimited length exceeded"},
      {ld(kSensor, ld(kPressure, h("0A 01 96 01"))), kPressureAt + "delimited length exceeded"},
      {ld(kInfo, h("12 02 C0 80")),
       "DeviceInfo.serial_number: InsoleResp.device_info: invalid string value: data is not UTF-8 encoded"},
      // Groups.
      {h("9B 06 A4 06"), "unexpected end group tag"},
      {ld(kSensor, h("9C 06")), "InsoleResp.sensor_data: unexpected end group tag"},
      {h("9B 06 08 01"), "invalid varint"},  // unterminated
  };
  for (const auto& c : cases) {
    auto decoded = decode_insole_resp(c.input);
    EXPECT_EQ(decoded.ok() ? "accepted" : decoded.error().to_string(), kPrefix + c.text) << hex_text(c.input);
  }
  auto req = decode_insole_req(ld("9A 03", h("10 01")));
  ASSERT_FALSE(req.ok());
  EXPECT_EQ(req.error().to_string(),
            kPrefix + "OtaData.data: InsoleReq.ota_data: invalid wire type: Varint (expected LengthDelimited)");
}

// Skipping nests with a budget of 100 for fields of the top-level message and
// one less per level down; the first group beyond it fails.
TEST(Decode, GroupNestingBudgetPerLevel) {
  const struct { Bytes (*wrap)(const Bytes&); int budget; std::string stack; } levels[] = {
      {[](const Bytes& b) { return b; }, 100, ""},
      {[](const Bytes& b) { return ld("6A", ld("0A", ld("2A", b))); }, 97,
       "ImuConfig.imu_offset: SensorConfig.imu_config: InsoleResp.sensor_config: "},
  };
  for (const auto& level : levels) {
    auto fits = decode_insole_resp(concat({level.wrap(groups(level.budget)), h("08 07")}));
    EXPECT_TRUE(fits.ok() && fits->msg_id == 7u) << level.budget;
    auto too_deep = decode_insole_resp(level.wrap(groups(level.budget + 1)));
    ASSERT_FALSE(too_deep.ok());
    EXPECT_EQ(too_deep.error().to_string(), kPrefix + level.stack + "recursion limit reached");
  }
}

// The receive path decodes every frame into one reused message: nothing of
// the previous payload may survive into the next.
TEST(Decode, IntoReusedMessageStartsFromDefaults) {
  InsoleResp msg;
  DecodeError error;
  const Bytes first = concat({h("08 01 10 02"), ld(kSensor, ld(kPressure, h("0A 02 01 02"))), h("62 00")});
  ASSERT_TRUE(decode_insole_resp_into(first, msg, error));
  ASSERT_TRUE(decode_insole_resp_into(ld(kSensor, ld(kPressure, h("0A 01 07"))), msg, error));
  PressureData expected_pressure;
  expected_pressure.pressure = {7};
  EXPECT_TRUE(msg == (InsoleResp{.sensor_data = SensorData{.pressure_data = expected_pressure}}));
}

namespace {

// The varint of v, padded to width bytes with continuation bytes (a longer
// form than needed is still a valid varint).
Bytes varint(uint64_t v, size_t width = 0) {
  Bytes out;
  do {
    out.push_back(static_cast<uint8_t>((v & 0x7F) | 0x80));
    v >>= 7;
  } while (v != 0 || out.size() < width);
  out.back() &= 0x7F;
  return out;
}

}  // namespace

// Varints are read a word at a time while ten bytes are left in the input and
// a byte at a time after that; both must give the same values and reject the
// same malformed forms. Each case is tried at the very end of the input and
// with more fields behind it.
TEST(Decode, VarintsOfEveryLengthReadAlikeAtTheEndAndBeforeMoreFields) {
  const Bytes more = h("08 05 08 05 08 05 08 05 08 05 08 05");  // msg_id 5, six times
  const uint64_t values[] = {0,         1,         127,       128,        16383,        16384,
                             2097151,   2097152,   1ull << 28, 1ull << 35, 1ull << 42,   1ull << 49,
                             (1ull << 56) - 1, 1ull << 56, (1ull << 63) - 1, 1ull << 63, ~0ull};
  for (const Bytes& tail : {Bytes{}, more}) {
    for (uint64_t v : values) {
      for (size_t width : {size_t{0}, size_t{10}}) {
        // boot_time (uint64) inside runtime_info.
        const Bytes input = concat({ld("5A", concat({h("08"), varint(v, width)})), tail});
        auto decoded = decode_insole_resp(input);
        ASSERT_TRUE(decoded.ok()) << hex_text(input);
        EXPECT_EQ(decoded->runtime_info->boot_time, v) << hex_text(input);
        EXPECT_EQ(decoded->msg_id, tail.empty() ? 0u : 5u);
      }
    }
    const Bytes malformed[] = {h("FF FF FF FF FF FF FF FF FF 02"), h("FF FF FF FF FF FF FF FF FF 81 00")};
    for (const Bytes& bad : malformed) {
      const Bytes input = concat({h("08"), bad, tail});
      auto decoded = decode_insole_resp(input);
      EXPECT_EQ(decoded.ok() ? "accepted" : decoded.error().to_string(),
                kPrefix + "InsoleResp.msg_id: invalid varint")
          << hex_text(input);
    }
  }
}

namespace {

// A message cut into one fragment per field set in it: each fragment is a
// message holding that one field, with its enclosing sub-messages.
template <class M>
std::vector<M> fragments(const M& msg);

template <class M, class T>
void add_fragments(std::vector<M>& out, const M& msg, const Field<M, T>& f) {
  const T& v = msg.*(f.member);
  if constexpr (is_optional<T>::value) {
    if (!v) return;
    auto inner = fragments(*v);
    if (inner.empty()) (out.emplace_back().*(f.member)).emplace();
    for (auto& sub : inner) out.emplace_back().*(f.member) = std::move(sub);
  } else if (!(v == T{})) {
    out.emplace_back().*(f.member) = v;
  }
}

template <class M>
std::vector<M> fragments(const M& msg) {
  std::vector<M> out;
  std::apply([&](const auto&... f) { (add_fragments(out, msg, f), ...); }, Schema<M>::fields);
  return out;
}

}  // namespace

// Encoders write fields in number order and the decoder takes that order
// first; any other order, and a message spread over several occurrences of
// its sub-messages, must give the same message.
TEST(Decode, FieldsInAnyOrderAndSpreadOverFragmentsDecodeAlike) {
  InsoleResp msg;
  msg.msg_id = 300;
  msg.err_code = -2;
  msg.device_info = DeviceInfo{3, "SN-9", 77, "model", "1.0", "", "abc", "AA:BB"};
  msg.battery_data.emplace();  // present, all defaults
  SensorData& sd = msg.sensor_data.emplace();
  sd.device_id = 2;
  sd.timestamp_ms = 123456;
  sd.seq_num = 4000000000u;
  sd.imu_data = ImuData{-1, 2, -300, 40000, -5, 6, 7, -8, 9, -70000, 11, 12, 0.5f, -0.25f};
  for (int i = 0; i < 60; ++i) sd.pressure_data.emplace().pressure.push_back(i * 37 - 500);
  sd.pressure_data->raw_pressure = {1, 200, 30000};
  sd.shear_data.emplace().shear_force_y = {-1, 0, 1};
  msg.ota_resp = OtaResp{1, 65536, 0};

  std::vector<InsoleResp> parts = fragments(msg);
  ASSERT_GT(parts.size(), 30u);
  std::mt19937 rng(99);
  for (int round = 0; round < 50; ++round) {
    std::shuffle(parts.begin(), parts.end(), rng);
    Bytes input;
    for (const InsoleResp& part : parts) input = concat({input, encode_insole_resp(part)});
    auto decoded = decode_insole_resp(input);
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_TRUE(*decoded == msg) << "round " << round << ": " << hex_text(input);
  }
  // And in one piece, in number order, as the encoder writes it.
  auto whole = decode_insole_resp(encode_insole_resp(msg));
  ASSERT_TRUE(whole.ok());
  EXPECT_TRUE(*whole == msg);
}
