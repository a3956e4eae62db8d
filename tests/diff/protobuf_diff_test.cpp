// Differential tests of the protobuf codec against libprotobuf: seeded random
// messages must decode, encode, skip and merge exactly as the reference does.
#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <optional>

#include "../unit/byte_text.h"
#include "protocol/codec.h"
#include "ref_bridge.h"

namespace tvis::test {
namespace {

template <class O, class R, auto Decode, auto Encode>
struct Kind {
  using Ours = O;
  using Ref = R;
  static constexpr auto decode = Decode;
  static constexpr auto encode = Encode;
};

// Parses the bytes with both codecs; both must accept them and agree.
template <class K>
std::optional<typename K::Ours> decode_like_reference(const std::string& wire) {
  typename K::Ref ref;
  if (!ref.ParseFromString(wire)) {
    ADD_FAILURE() << "reference rejects " << hex_text(as_bytes(wire));
    return std::nullopt;
  }
  auto ours = K::decode(as_bytes(wire));
  if (!ours.ok()) {
    ADD_FAILURE() << ours.error().to_string() << "\n" << hex_text(as_bytes(wire));
    return std::nullopt;
  }
  EXPECT_TRUE(*ours == to_ours<typename K::Ours>(ref)) << ref.ShortDebugString() << "\n" << hex_text(as_bytes(wire));
  return std::move(*ours);
}

template <class K>
class ProtobufDiff : public ::testing::Test {};
struct RespKind : Kind<InsoleResp, insole_ref::InsoleResp, decode_insole_resp, encode_insole_resp> {};
struct ReqKind : Kind<InsoleReq, insole_ref::InsoleReq, decode_insole_req, encode_insole_req> {};
using Kinds = ::testing::Types<RespKind, ReqKind>;
TYPED_TEST_SUITE(ProtobufDiff, Kinds);

// The first 300 messages also come back corrupted a few times: whatever the
// reference rejects we must reject too. (More would sooner or later corrupt a
// float into NaN, which compares unequal to itself.)
TYPED_TEST(ProtobufDiff, RandomMessagesAgreeBothWaysAndCorruptionsAreRejected) {
  using Ours = typename TypeParam::Ours;
  pb::LogSilencer quiet;  // the reference logs every malformed string it rejects
  for (uint64_t seed = 1; seed <= 2000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen g(seed);
    typename TypeParam::Ref ref;
    g.fill(&ref);
    const std::string wire = ref.SerializeAsString();
    decode_like_reference<TypeParam>(wire);
    // Same field order, same packing, same omission of defaults: the bytes
    // match the reference's own.
    const Ours ours = to_ours<Ours>(ref);
    ASSERT_EQ(encoded_len(ours), wire.size());
    EXPECT_EQ(hex_text(TypeParam::encode(ours)), hex_text(as_bytes(wire)));
    for (int k = 0; k < 8 && seed <= 300 && !wire.empty(); ++k) {
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
      const auto mine = TypeParam::decode(as_bytes(w));
      // A known field under a foreign wire type is an error for us but an
      // unknown field for the reference, so only shared acceptance compares.
      EXPECT_TRUE(reference_ok ? !mine.ok() || *mine == to_ours<Ours>(back) : !mine.ok()) << hex_text(as_bytes(w));
    }
  }
}

// Unpacked arrays, widened varints, and unknown fields and groups in every
// message, also ahead of the known fields at the top. The same bytes then
// merge with a packed message on either side, so packed and unpacked elements
// of one array mix.
TYPED_TEST(ProtobufDiff, UnpackedArraysUnknownFieldsAndMerges) {
  VariantSchema variant;
  for (uint64_t seed = 1; seed <= 1000 && !this->HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Gen g(seed, true);
    auto msg = variant.make(TypeParam::Ref::descriptor()), junk = variant.make(TypeParam::Ref::descriptor());
    g.fill(msg.get());
    g.add_unknown(junk->GetReflection()->MutableUnknownFields(junk.get()), junk->GetDescriptor());
    const std::string wire = junk->SerializeAsString() + msg->SerializeAsString();
    const auto ours = decode_like_reference<TypeParam>(wire);
    // Without the unknown fields the reference re-encodes to our bytes.
    typename TypeParam::Ref ref, packed;
    ASSERT_TRUE(ref.ParseFromString(wire));
    ref.DiscardUnknownFields();
    EXPECT_EQ(ours ? hex_text(TypeParam::encode(*ours)) : "", hex_text(as_bytes(ref.SerializeAsString())));
    Gen(seed + 7919).fill(&packed);
    decode_like_reference<TypeParam>(packed.SerializeAsString() + wire);
    decode_like_reference<TypeParam>(wire + packed.SerializeAsString());
  }
}

}  // namespace
}  // namespace tvis::test
