// Bridge between the SDK's message structs and the libprotobuf reference
// messages generated from proto/insole.proto: conversion into our
// structs, random message generation, and a rewritten schema for wire forms
// the generated code never writes.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>

#include "insole.pb.h"
#include "protocol/schema.h"

namespace tvis::test {

namespace pb = google::protobuf;
using namespace tvis::protocol;
using FD = pb::FieldDescriptor;

// The reference field a member of ours corresponds to, looked up by name. Its
// number and enumeration value names must agree with our table; a type that
// differs aborts in the reflection calls below.
template <class M, class T>
const FD& ref_field(const pb::Descriptor& d, const Field<M, T>& f) {
  const std::string name(f.name == "r#type" ? std::string_view("type") : f.name);
  const FD* fd = d.FindFieldByName(name);
  if (!fd || fd->number() != static_cast<int>(f.number)) throw std::logic_error(d.name() + "." + name + " differs");
  if (f.enum_info) {
    const pb::EnumDescriptor* e = fd->enum_type();
    bool same = e && f.enum_info->values.size() == static_cast<size_t>(e->value_count());
    for (int i = 0; same && i < e->value_count(); ++i)
      same = f.enum_info->name_of(e->value(i)->number()) == e->value(i)->name();
    if (!same) throw std::logic_error(d.name() + "." + name + ": enumeration differs");
  }
  return *fd;
}

// Field-by-field copy of a reference message into our struct; unknown fields
// of the reference message are not carried over.
template <class M>
M to_ours(const pb::Message& ref) {
  const pb::Reflection& r = *ref.GetReflection();
  M out;
  auto read = [&]<class T>(const Field<M, T>& f) {
    const FD* fd = &ref_field(*ref.GetDescriptor(), f);
    T& v = out.*(f.member);
    if constexpr (std::is_same_v<T, bool>) v = r.GetBool(ref, fd);
    else if constexpr (std::is_same_v<T, int32_t>) v = f.enum_info ? r.GetEnumValue(ref, fd) : r.GetInt32(ref, fd);
    else if constexpr (std::is_same_v<T, uint32_t>) v = r.GetUInt32(ref, fd);
    else if constexpr (std::is_same_v<T, uint64_t>) v = r.GetUInt64(ref, fd);
    else if constexpr (std::is_same_v<T, float>) v = r.GetFloat(ref, fd);
    else if constexpr (std::is_same_v<T, std::string>) v = r.GetString(ref, fd);
    else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
      const std::string s = r.GetString(ref, fd);
      v.assign(s.begin(), s.end());
    } else if constexpr (is_small_vec<T>::value) {
      for (int i = 0; i < r.FieldSize(ref, fd); ++i) v.push_back(r.GetRepeatedInt32(ref, fd, i));
    } else if (r.HasField(ref, fd)) {
      v = to_ours<typename T::value_type>(r.GetMessage(ref, fd));
    }
  };
  std::apply([&](const auto&... f) { (read(f), ...); }, Schema<M>::fields);
  return out;
}

inline std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Random values biased towards the edges of the wire encoding: varint length
// boundaries, negative int32 (ten-byte varints), values above 2^63.
class Gen {
 public:
  // Sparse, medium and fully populated messages in turn; with unknown set,
  // every message also carries fields its schema does not define.
  explicit Gen(uint64_t seed, bool unknown = false)
      : rng_(seed), presence_(seed % 4 == 2 ? 1.0 : seed % 2 ? 0.6 : 0.3), unknown_(unknown) {}

  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  uint64_t bits() { return rng_(); }
  uint64_t u64() {
    switch (below(4)) {
      case 0: return below(128);
      case 1: return (uint64_t{1} << (7 * (1 + below(9)))) - below(2);  // either side of a length step
      case 2: return bits() | uint64_t{1} << 63;
      default: return bits() >> below(64);
    }
  }
  int32_t i32() {
    switch (below(4)) {
      case 0: return -static_cast<int32_t>(below(129));
      case 1: return below(2) ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
      default: return static_cast<int32_t>(u64());
    }
  }
  // Never NaN (it does not compare equal) nor -0.0 (the encoder leaves it out).
  float f32() {
    float f;
    do f = below(3) ? std::bit_cast<float>(static_cast<uint32_t>(bits())) : static_cast<float>(i32()) / 1024;
    while (std::isnan(f) || std::bit_cast<uint32_t>(f) == 0x80000000u);
    return f;
  }
  // Valid UTF-8 mixing one- to four-byte sequences; now and then long enough
  // for a two-byte length.
  std::string utf8() {
    static constexpr uint32_t kLow[] = {0x20, 0x80, 0x800, 0xE000, 0x10000};
    static constexpr uint32_t kHigh[] = {0x7F, 0x7FF, 0xD7FF, 0xFFFF, 0x10FFFF};
    std::string s;
    for (uint64_t n = below(8) ? below(25) : 100 + below(100); n > 0; --n) {
      const size_t k = below(5);
      const uint32_t c = kLow[k] + static_cast<uint32_t>(below(kHigh[k] - kLow[k] + 1));
      const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
      s += static_cast<char>((tail ? 0xF00 >> (tail + 1) & 0xFF : 0) | c >> 6 * tail);
      for (int t = tail - 1; t >= 0; --t) s += static_cast<char>(0x80 | (c >> 6 * t & 0x3F));
    }
    return s;
  }
  std::string bytes() {
    std::string s(below(6) ? below(40) : 100 + below(413), '\0');
    for (char& c : s) c = static_cast<char>(bits());
    return s;
  }

  // Fills a message through reflection; works on the generated reference
  // messages and on dynamic ones alike.
  void fill(pb::Message* m) {
    const pb::Descriptor* d = m->GetDescriptor();
    const pb::Reflection* r = m->GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
      const FD* fd = d->field(i);
      if (fd->cpp_type() == FD::CPPTYPE_MESSAGE) {
        if (chance(presence_)) fill(r->MutableMessage(m, fd));
      } else if (fd->is_repeated()) {
        for (uint64_t n = chance(presence_) ? below(61) : 0; n > 0; --n)
          fd->cpp_type() == FD::CPPTYPE_UINT64 ? r->AddUInt64(m, fd, u64()) : r->AddInt32(m, fd, i32());
      } else if (chance(presence_)) {
        switch (fd->cpp_type()) {
          case FD::CPPTYPE_BOOL: r->SetBool(m, fd, true); break;
          case FD::CPPTYPE_INT32: r->SetInt32(m, fd, i32()); break;
          case FD::CPPTYPE_UINT32: r->SetUInt32(m, fd, static_cast<uint32_t>(u64())); break;
          case FD::CPPTYPE_UINT64: r->SetUInt64(m, fd, u64()); break;
          case FD::CPPTYPE_FLOAT: r->SetFloat(m, fd, f32()); break;
          case FD::CPPTYPE_STRING: r->SetString(m, fd, fd->type() == FD::TYPE_BYTES ? bytes() : utf8()); break;
          case FD::CPPTYPE_ENUM: {
            const pb::EnumDescriptor* e = fd->enum_type();
            r->SetEnumValue(m, fd, chance(0.7) ? e->value(static_cast<int>(below(e->value_count())))->number() : i32());
            break;
          }
          default: throw std::logic_error("field type not generated");
        }
      }
    }
    if (unknown_) add_unknown(r->MutableUnknownFields(m), d);
  }

  // Unknown fields of every wire type, groups nested up to three deep. In a
  // message they take numbers it does not define (some between defined ones,
  // the largest one); inside a group any number goes.
  void add_unknown(pb::UnknownFieldSet* set, const pb::Descriptor* d, int depth = 0) {
    static constexpr int kNumbers[] = {3, 9, 16, 29, 33, 49, 52, 1000, FD::kMaxNumber};
    for (uint64_t n = below(4); n > 0; --n) {
      const int number = d ? kNumbers[below(std::size(kNumbers))] : 1 + static_cast<int>(below(60));
      if (d && d->FindFieldByNumber(number)) continue;
      switch (below(depth < 3 ? 5 : 4)) {
        case 0: set->AddVarint(number, u64()); break;
        case 1: set->AddFixed64(number, bits()); break;
        case 2: set->AddFixed32(number, static_cast<uint32_t>(bits())); break;
        case 3: set->AddLengthDelimited(number, bytes()); break;
        default: add_unknown(set->AddGroup(number), nullptr, depth + 1);
      }
    }
  }

 private:
  std::mt19937_64 rng_;
  double presence_;
  bool unknown_;
};

// The reference schema rewritten so that its serialization exercises wire
// forms the generated code never writes: repeated fields unpacked, and every
// varint field widened to uint64, so values arrive that the real type must
// cut down (int32 in five bytes, uint32 above 2^32, bools other than 1).
class VariantSchema {
 public:
  VariantSchema() {
    pb::FileDescriptorProto file;
    insole_ref::InsoleResp::descriptor()->file()->CopyTo(&file);
    for (pb::DescriptorProto& msg : *file.mutable_message_type()) {
      for (pb::FieldDescriptorProto& f : *msg.mutable_field()) {
        if (f.label() == f.LABEL_REPEATED) f.mutable_options()->set_packed(false);
        const auto t = f.type();
        if (t == f.TYPE_BOOL || t == f.TYPE_INT32 || t == f.TYPE_UINT32 || t == f.TYPE_ENUM) {
          f.set_type(f.TYPE_UINT64);
          f.clear_type_name();
        }
      }
    }
    if (!pool_.BuildFile(file)) throw std::logic_error("variant schema does not build");
  }

  // An empty message of the rewritten type standing in for the given one.
  std::unique_ptr<pb::Message> make(const pb::Descriptor* d) {
    return std::unique_ptr<pb::Message>(factory_.GetPrototype(pool_.FindMessageTypeByName(d->full_name()))->New());
  }

 private:
  pb::DescriptorPool pool_;
  pb::DynamicMessageFactory factory_{&pool_};
};

}  // namespace tvis::test
