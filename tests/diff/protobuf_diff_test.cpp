// Differential tests of the protobuf codec against libprotobuf: seeded random
// messages must decode, encode, skip and merge exactly as the reference does.
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <bit>
#include <optional>

#include "protocol/codec.h"
#include "ref_bridge.h"

namespace tvis::test {
namespace {

using pb::util::MessageDifferencer;

struct RespKind {
  using Ours = InsoleResp;
  using Ref = insole_ref::InsoleResp;
  static constexpr const char* kName = "InsoleResp";
  static auto decode(std::span<const uint8_t> b) { return decode_insole_resp(b); }
  static std::vector<uint8_t> encode(const Ours& m) { return encode_insole_resp(m); }
};

struct ReqKind {
  using Ours = InsoleReq;
  using Ref = insole_ref::InsoleReq;
  static constexpr const char* kName = "InsoleReq";
  static auto decode(std::span<const uint8_t> b) { return decode_insole_req(b); }
  static std::vector<uint8_t> encode(const Ours& m) { return encode_insole_req(m); }
};

// Parses the bytes with both codecs; both must accept them and agree.
template <class K>
std::optional<typename K::Ours> decode_like_reference(const std::string& wire) {
  typename K::Ref ref;
  if (!ref.ParseFromString(wire)) {
    ADD_FAILURE() << "reference rejects " << hex(as_bytes(wire));
    return std::nullopt;
  }
  auto ours = K::decode(as_bytes(wire));
  if (!ours.ok()) {
    ADD_FAILURE() << ours.error().to_string() << "\n" << hex(as_bytes(wire));
    return std::nullopt;
  }
  EXPECT_TRUE(*ours == to_ours<typename K::Ours>(ref)) << ref.ShortDebugString() << "\n" << hex(as_bytes(wire));
  return std::move(*ours);
}

// Unknown fields of every wire type, groups nested up to three deep. At the
// top they take numbers that neither top-level message defines; inside a
// group any number and wire type goes.
std::string unknown_fields(Gen& g, int depth = 0) {
  static constexpr uint32_t kFree[] = {3, 9, 16, 29, 33, 49, 52, 1000, FD::kMaxNumber};
  static constexpr uint32_t kWireTypes[] = {0, 1, 2, 5, 3};
  std::string out;
  for (uint64_t n = 1 + g.below(4); n > 0; --n) {
    const uint64_t number = depth ? 1 + g.below(60) : kFree[g.below(std::size(kFree))];
    const uint32_t wt = kWireTypes[g.below(depth < 3 ? 5 : 4)];
    put_varint(out, number << 3 | wt);
    switch (wt) {
      case 0: put_varint(out, g.u64()); break;
      case 1:
      case 5:
        for (uint32_t i = 0; i < (wt == 1 ? 8 : 4); ++i) out += static_cast<char>(g.bits());
        break;
      case 2: {
        const std::string b = g.bytes();
        put_varint(out, b.size());
        out += b;
        break;
      }
      default:
        out += unknown_fields(g, depth + 1);
        put_varint(out, number << 3 | 4);
    }
  }
  return out;
}

template <class M, class T>
void check_field(const pb::Descriptor& d, const Field<M, T>& f);

// Our field tables against the reference descriptors: same message names,
// field count, numbers, types, packing and enumeration value names.
template <class M>
void check_tables(const pb::Descriptor& d) {
  EXPECT_EQ(Schema<M>::name, d.name());
  EXPECT_EQ(std::tuple_size_v<std::remove_const_t<decltype(Schema<M>::fields)>>, static_cast<size_t>(d.field_count()))
      << d.name();
  std::apply([&](const auto&... f) { (check_field(d, f), ...); }, Schema<M>::fields);
}

template <class M, class T>
void check_field(const pb::Descriptor& d, const Field<M, T>& f) {
  const FD* fd = nullptr;
  try {
    fd = &ref_field(d, f);
  } catch (const std::logic_error& e) {
    ADD_FAILURE() << e.what();
    return;
  }
  if constexpr (is_array_v<T>) {
    EXPECT_TRUE(fd->is_packed()) << fd->full_name();
  }
  if constexpr (!std::is_void_v<typename sub_message<T>::type>) {
    check_tables<typename sub_message<T>::type>(*fd->message_type());
  }
  if (f.enum_info) {
    const pb::EnumDescriptor* e = fd->enum_type();
    EXPECT_EQ(f.enum_info->values.size(), static_cast<size_t>(e->value_count())) << e->name();
    for (int i = 0; i < e->value_count(); ++i)
      EXPECT_EQ(f.enum_info->name_of(e->value(i)->number()), e->value(i)->name()) << e->name();
  }
}

// Silences the reference's log line for every malformed string it rejects.
struct QuietReference {
  pb::LogHandler* old = pb::SetLogHandler(nullptr);
  ~QuietReference() { pb::SetLogHandler(old); }
};

template <class K>
class ProtobufDiff : public ::testing::Test {};
using Kinds = ::testing::Types<RespKind, ReqKind>;
TYPED_TEST_SUITE(ProtobufDiff, Kinds);

TYPED_TEST(ProtobufDiff, TablesMatchReferenceSchema) {
  check_tables<typename TypeParam::Ours>(*TypeParam::Ref::descriptor());
}

TYPED_TEST(ProtobufDiff, RandomMessagesAgreeBothWays) {
  using Ours = typename TypeParam::Ours;
  using Ref = typename TypeParam::Ref;
  for (uint64_t seed = 1; seed <= 3000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Ref ref;
    Gen(seed).fill(&ref);
    const std::string wire = serialize(ref);
    decode_like_reference<TypeParam>(wire);

    // Same field order, same packing, same omission of defaults: the bytes
    // match the reference's own.
    const Ours ours = to_ours<Ours>(ref);
    ASSERT_EQ(encoded_len(ours), wire.size());
    const std::vector<uint8_t> mine = TypeParam::encode(ours);
    EXPECT_EQ(hex(mine), hex(as_bytes(wire)));
    Ref back;
    ASSERT_TRUE(back.ParseFromArray(mine.data(), static_cast<int>(mine.size())));
    EXPECT_TRUE(MessageDifferencer::Equals(back, ref)) << back.ShortDebugString();
  }
}

TYPED_TEST(ProtobufDiff, UnpackedArraysAndUnknownFieldsAtEveryLevel) {
  VariantSchema variant;
  for (uint64_t seed = 1; seed <= 1000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto msg = variant.make(TypeParam::kName);
    Gen(seed).fill(msg.get());
    const std::string wire = serialize(*msg);
    const auto ours = decode_like_reference<TypeParam>(wire);
    // Without the unknown fields the reference re-encodes to our bytes.
    typename TypeParam::Ref ref;
    ASSERT_TRUE(ref.ParseFromString(wire));
    ref.DiscardUnknownFields();
    if (ours) {
      EXPECT_EQ(hex(TypeParam::encode(*ours)), hex(as_bytes(serialize(ref))));
    }
  }
}

TYPED_TEST(ProtobufDiff, UnknownFieldsAndGroupsAreSkipped) {
  for (uint64_t seed = 1; seed <= 1000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen g(seed);
    typename TypeParam::Ref ref;
    g.fill(&ref);
    const std::string wire = serialize(ref);
    const std::string junk = unknown_fields(g);
    // Field 31 is a sub-message in both directions; the junk goes inside it.
    std::string nested;
    put_varint(nested, 31 << 3 | 2);
    put_varint(nested, junk.size());
    nested += junk;
    for (const std::string& w : {junk + wire, wire + junk, wire + nested}) decode_like_reference<TypeParam>(w);
  }
}

TYPED_TEST(ProtobufDiff, ConcatenationDecodesAsMerge) {
  VariantSchema variant;
  for (uint64_t seed = 1; seed <= 1000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    typename TypeParam::Ref first;
    Gen(seed).fill(&first);
    auto second = variant.make(TypeParam::kName);  // unpacked arrays, so packed and unpacked elements mix
    Gen(seed + 7919).fill(second.get());
    const std::string a = serialize(first);
    const std::string b = serialize(*second);
    decode_like_reference<TypeParam>(a + b);
    decode_like_reference<TypeParam>(b + a);
  }
}

TYPED_TEST(ProtobufDiff, CorruptInputRejectedWheneverReferenceRejects) {
  QuietReference quiet;
  for (uint64_t seed = 1; seed <= 500 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen g(seed);
    typename TypeParam::Ref ref;
    g.fill(&ref);
    const std::string wire = serialize(ref);
    for (int k = 0; k < 8 && !wire.empty(); ++k) {
      std::string w = wire;
      const size_t at = g.below(w.size());
      switch (g.below(4)) {
        case 0: w.resize(at); break;
        case 1: w[at] = static_cast<char>(w[at] ^ (1 << g.below(8))); break;
        case 2: w[at] = static_cast<char>(g.bits()); break;
        default: w.insert(at, 1, static_cast<char>(g.bits()));
      }
      typename TypeParam::Ref back;
      const bool reference_ok = back.ParseFromString(w);
      const auto ours = TypeParam::decode(as_bytes(w));
      if (!reference_ok) {
        EXPECT_FALSE(ours.ok()) << hex(as_bytes(w));
      } else if (ours.ok()) {
        // A known field under a foreign wire type is an error for us but an
        // unknown field for the reference, so only shared acceptance compares.
        EXPECT_TRUE(*ours == to_ours<typename TypeParam::Ours>(back)) << hex(as_bytes(w));
      }
    }
  }
}

TEST(ProtobufDiffFloats, NegativeZeroAndNaNPayloads) {
  insole_ref::InsoleResp ref;
  auto* imu = ref.mutable_sensor_data()->mutable_imu_data();
  imu->set_acc_scale(-0.0f);
  imu->set_gyro_scale(std::bit_cast<float>(0x7FC01234u));
  const std::string wire = serialize(ref);
  const auto ours = decode_insole_resp(as_bytes(wire));
  ASSERT_TRUE(ours.ok());
  const ImuData& imu_ours = *ours->sensor_data->imu_data;
  EXPECT_EQ(std::bit_cast<uint32_t>(imu_ours.acc_scale), 0x80000000u);
  EXPECT_EQ(std::bit_cast<uint32_t>(imu_ours.gyro_scale), 0x7FC01234u);
  // The reference writes the -0.0 it holds; we leave it out like 0.0.
  imu->clear_acc_scale();
  EXPECT_EQ(hex(encode_insole_resp(*ours)), hex(as_bytes(serialize(ref))));
}

}  // namespace
}  // namespace tvis::test
