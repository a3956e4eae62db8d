// Bridge between the SDK's message structs and the libprotobuf reference
// messages generated from tests/proto/insole.proto: conversion into our
// structs, random message generation, deterministic serialization and a
// rewritten schema for wire forms the generated code never writes.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>

#include "insole.pb.h"
#include "protocol/schema.h"

namespace tvis::test {

namespace pb = google::protobuf;
using namespace tvis::protocol;
using FD = pb::FieldDescriptor;

template <class T>
struct sub_message {
  using type = void;
};
template <class T>
struct sub_message<std::optional<T>> {
  using type = T;
};
template <class T>
inline constexpr bool is_array_v = false;
template <class T, size_t N>
inline constexpr bool is_array_v<SmallVec<T, N>> = true;

// The reference field a member of ours corresponds to, looked up by name. Its
// number, type and label must agree with our table, else the tables disagree.
template <class M, class T>
const FD& ref_field(const pb::Descriptor& d, const Field<M, T>& f) {
  const std::string name(f.name == "r#type" ? std::string_view("type") : f.name);
  auto mismatch = [&](const char* what) { throw std::logic_error(d.name() + "." + name + ": " + what); };
  const FD* fd = d.FindFieldByName(name);
  if (!fd) mismatch("not in the reference schema");
  if (fd->number() != static_cast<int>(f.number)) mismatch("field number differs");
  FD::Type want = FD::TYPE_MESSAGE;
  if constexpr (std::is_same_v<T, bool>) want = FD::TYPE_BOOL;
  else if constexpr (std::is_same_v<T, int32_t>) want = f.enum_info ? FD::TYPE_ENUM : FD::TYPE_INT32;
  else if constexpr (std::is_same_v<T, uint32_t>) want = FD::TYPE_UINT32;
  else if constexpr (std::is_same_v<T, uint64_t>) want = FD::TYPE_UINT64;
  else if constexpr (std::is_same_v<T, float>) want = FD::TYPE_FLOAT;
  else if constexpr (std::is_same_v<T, std::string>) want = FD::TYPE_STRING;
  else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) want = FD::TYPE_BYTES;
  else if constexpr (is_array_v<T>) want = FD::TYPE_INT32;
  else if (fd->message_type() == nullptr || fd->message_type()->name() != Schema<typename sub_message<T>::type>::name)
    mismatch("message type differs");
  if (fd->type() != want) mismatch("type differs");
  if (fd->is_repeated() != is_array_v<T>) mismatch("repeated differs");
  return *fd;
}

template <class M>
M to_ours(const pb::Message& ref);

template <class M, class T>
void read_field(const pb::Message& ref, const Field<M, T>& f, M& out) {
  const FD* fd = &ref_field(*ref.GetDescriptor(), f);
  const pb::Reflection& r = *ref.GetReflection();
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
  } else if constexpr (is_array_v<T>) {
    for (int i = 0; i < r.FieldSize(ref, fd); ++i) v.push_back(r.GetRepeatedInt32(ref, fd, i));
  } else if (r.HasField(ref, fd)) {
    v = to_ours<typename sub_message<T>::type>(r.GetMessage(ref, fd));
  }
}

// Field-by-field copy of a reference message into our struct; unknown fields
// of the reference message are not carried over.
template <class M>
M to_ours(const pb::Message& ref) {
  M out;
  std::apply([&](const auto&... f) { (read_field(ref, f, out), ...); }, Schema<M>::fields);
  return out;
}

inline std::string serialize(const pb::Message& m) {
  std::string out;
  {
    pb::io::StringOutputStream stream(&out);
    pb::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    if (!m.SerializeToCodedStream(&coded)) throw std::runtime_error("reference serialization failed");
  }
  return out;
}

inline std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

inline std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    out += ' ';
  }
  return out;
}

inline void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>(v | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

// Random values biased towards the edges of the wire encoding: varint length
// boundaries, negative int32 (ten-byte varints), values above 2^63.
class Gen {
 public:
  explicit Gen(uint64_t seed) : rng_(seed) {
    // Sparse, medium and fully populated messages in turn.
    static constexpr double kPresence[] = {0.3, 0.6, 1.0, 0.6};
    static constexpr double kDefaults[] = {0.7, 0.3, 0.0, 0.3};
    presence_ = kPresence[seed % 4];
    defaults_ = kDefaults[seed % 4];
  }

  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  uint64_t bits() { return rng_(); }

  uint64_t u64() {
    switch (below(4)) {
      case 0: return below(128);
      case 1: return (uint64_t{1} << (7 * (1 + below(9)))) - below(2);  // either side of a length step
      case 2: return bits() | (uint64_t{1} << 63);
      default: return bits() >> below(64);
    }
  }
  uint32_t u32() { return below(3) ? static_cast<uint32_t>(u64()) : static_cast<uint32_t>(bits()); }
  int32_t i32() {
    switch (below(5)) {
      case 0: return -static_cast<int32_t>(below(129));
      case 1: return below(2) ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
      case 2: return static_cast<int32_t>(below(1 << 21)) - (1 << 20);
      default: return static_cast<int32_t>(u32());
    }
  }
  // Finite or infinite, never NaN and never -0.0 (those have their own test).
  float f32() {
    if (below(3) == 0) return std::uniform_real_distribution<float>(-1000.0f, 1000.0f)(rng_);
    uint32_t b;
    do b = static_cast<uint32_t>(bits());
    while (((b & 0x7F800000u) == 0x7F800000u && (b & 0x7FFFFFu) != 0) || b == 0x80000000u);
    float f;
    std::memcpy(&f, &b, 4);
    return f;
  }
  // Valid UTF-8 mixing one- to four-byte sequences; now and then long enough
  // for a two-byte length.
  std::string utf8() {
    std::string s;
    const uint64_t n = below(8) == 0 ? 100 + below(100) : below(25);
    for (uint64_t i = 0; i < n; ++i) {
      static constexpr uint32_t kLow[] = {0x20, 0x80, 0x800, 0xE000, 0x10000};
      static constexpr uint32_t kHigh[] = {0x7F, 0x7FF, 0xD7FF, 0xFFFF, 0x10FFFF};
      const size_t k = below(5);
      const uint32_t c = kLow[k] + static_cast<uint32_t>(below(kHigh[k] - kLow[k] + 1));
      const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
      s += static_cast<char>((tail ? 0xF00 >> (tail + 1) & 0xFF : 0) | c >> 6 * tail);
      for (int t = tail - 1; t >= 0; --t) s += static_cast<char>(0x80 | (c >> 6 * t & 0x3F));
    }
    return s;
  }
  std::string bytes() {
    std::string s(below(6) == 0 ? 100 + below(413) : below(40), '\0');
    for (char& c : s) c = static_cast<char>(bits());
    return s;
  }

  // Fills every field of a message through reflection; works on the
  // generated reference messages and on dynamic ones alike.
  void fill(pb::Message* m) {
    const pb::Descriptor* d = m->GetDescriptor();
    const pb::Reflection* r = m->GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
      const FD* fd = d->field(i);
      if (fd->is_repeated()) {
        const bool wide = fd->cpp_type() == FD::CPPTYPE_UINT64;
        if (!wide && fd->cpp_type() != FD::CPPTYPE_INT32) throw std::logic_error("array type not generated");
        const uint64_t n = chance(defaults_) ? 0 : below(61);
        for (uint64_t k = 0; k < n; ++k) wide ? r->AddUInt64(m, fd, u64()) : r->AddInt32(m, fd, i32());
      } else if (fd->cpp_type() == FD::CPPTYPE_MESSAGE) {
        if (chance(presence_)) fill(r->MutableMessage(m, fd));
      } else if (!chance(defaults_)) {
        switch (fd->cpp_type()) {
          case FD::CPPTYPE_BOOL: r->SetBool(m, fd, true); break;
          case FD::CPPTYPE_INT32: r->SetInt32(m, fd, i32()); break;
          case FD::CPPTYPE_UINT32: r->SetUInt32(m, fd, u32()); break;
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
  }

 private:
  std::mt19937_64 rng_;
  double presence_;
  double defaults_;
};

// The reference schema rewritten so that its serialization exercises wire
// forms the generated code never writes:
// - repeated fields unpacked;
// - every varint field widened to uint64, so values arrive that the real type
//   must cut down (int32 in five bytes, uint32 above 2^32, bools other than 1);
// - in every message extra varint, 32-bit, 64-bit and length-delimited fields
//   at numbers the message does not define (some between defined numbers, one
//   at the largest field number), unknown fields to the real schema.
class VariantSchema {
 public:
  VariantSchema() {
    pb::FileDescriptorProto file;
    insole_ref::InsoleResp::descriptor()->file()->CopyTo(&file);
    for (pb::DescriptorProto& msg : *file.mutable_message_type()) {
      std::set<int> used;
      for (pb::FieldDescriptorProto& f : *msg.mutable_field()) {
        used.insert(f.number());
        if (f.label() == pb::FieldDescriptorProto::LABEL_REPEATED) f.mutable_options()->set_packed(false);
        switch (f.type()) {
          case pb::FieldDescriptorProto::TYPE_BOOL:
          case pb::FieldDescriptorProto::TYPE_INT32:
          case pb::FieldDescriptorProto::TYPE_UINT32:
          case pb::FieldDescriptorProto::TYPE_ENUM:
            f.set_type(pb::FieldDescriptorProto::TYPE_UINT64);
            f.clear_type_name();
            break;
          default:
            break;
        }
      }
      auto free_number = [&] {
        int n = 1;
        while (used.count(n)) ++n;
        used.insert(n);
        return n;
      };
      add(msg, "x_varint", free_number(), pb::FieldDescriptorProto::TYPE_UINT64);
      add(msg, "x_fixed32", free_number(), pb::FieldDescriptorProto::TYPE_FIXED32);
      add(msg, "x_fixed64", *used.rbegin() + 1, pb::FieldDescriptorProto::TYPE_FIXED64);
      add(msg, "x_bytes", FD::kMaxNumber, pb::FieldDescriptorProto::TYPE_BYTES);
    }
    if (!pool_.BuildFile(file)) throw std::logic_error("variant schema does not build");
  }

  std::unique_ptr<pb::Message> make(const std::string& message_name) {
    const pb::Descriptor* d = pool_.FindMessageTypeByName("insole_ref." + message_name);
    return std::unique_ptr<pb::Message>(factory_.GetPrototype(d)->New());
  }

 private:
  static void add(pb::DescriptorProto& msg, const char* name, int number, pb::FieldDescriptorProto::Type type) {
    pb::FieldDescriptorProto* f = msg.add_field();
    f->set_name(name);
    f->set_number(number);
    f->set_type(type);
    f->set_label(pb::FieldDescriptorProto::LABEL_OPTIONAL);
  }

  pb::DescriptorPool pool_;
  pb::DynamicMessageFactory factory_{&pool_};
};

}  // namespace tvis::test
