// The codec walks the field tables of schema.h: one generic decoder and one
// generic encoder serve every message.
#include "protocol/codec.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "protocol/schema.h"
#include "protocol/wire.h"
#include "util/utf8.h"

namespace tvis::protocol {

namespace {

using namespace wire;

// Nesting budget for skipping: 100 for fields of the top-level message, one
// less for each level down and for each group level.
constexpr int kRecursionLimit = 100;

// The wire type each kind of field is written with; repeated integers are
// written packed.
template <class T>
constexpr WireType wire_type_of() {
  if constexpr (std::is_same_v<T, float>) {
    return ThirtyTwoBit;
  } else if constexpr (std::is_integral_v<T>) {
    return Varint;
  } else {
    return LengthDelimited;
  }
}

// Never destroyed where that would take a destructor: detached threads (the
// mock stream) may still be decoding while the process exits.
template <class M>
const M& default_instance() {
  if constexpr (std::is_trivially_destructible_v<M>) {
    static constexpr M instance{};
    return instance;
  } else {
    static const M* instance = new M{};
    return *instance;
  }
}

// Where decoding stands in the input; null once it has failed, and the
// failure is then described in the decoder's error. Passed and returned by
// value, so the cursor of a message being decoded lives in a register.
using Cursor = const uint8_t*;

struct Decoder {
  const uint8_t* const end;  // reads are bounded by the whole input, as delimited lengths are checked after the fact
  DecodeError& err;

  // Failures are rare: kept out of line so the hot readers below stay small
  // enough to inline into every field loop.
  [[gnu::cold, gnu::noinline]] Cursor fail(std::string description) {
    err.description = std::move(description);
    return nullptr;
  }
  [[gnu::cold, gnu::noinline]] Cursor fail_varint() { return fail("invalid varint"); }
  [[gnu::cold, gnu::noinline]] Cursor fail_underflow() { return fail("buffer underflow"); }
  [[gnu::cold, gnu::noinline]] Cursor fail_key(uint64_t k) { return fail("invalid key value: " + std::to_string(k)); }
  [[gnu::cold, gnu::noinline]] Cursor fail_wire_type_value(uint32_t wt) {
    return fail("invalid wire type value: " + std::to_string(wt));
  }
  [[gnu::cold, gnu::noinline]] Cursor fail_wire_type(uint32_t actual, uint32_t expected) {
    std::string d = "invalid wire type: ";
    d += wire_type_name(actual);
    d += " (expected ";
    d += wire_type_name(expected);
    d += ")";
    return fail(std::move(d));
  }
  // Each enclosing field a failure passes through adds itself, innermost first.
  [[gnu::cold, gnu::noinline]] Cursor trace(std::string_view message, std::string_view field) {
    err.stack.emplace_back(message, field);
    return nullptr;
  }

  // The readers are inlined into every field loop. Their outputs are set on
  // every path, failures included, so the compiler can see nothing is read
  // uninitialised.
  [[gnu::always_inline]] Cursor varint(Cursor p, uint64_t& v) {
    if (read_varint(p, end, v)) return p;
    v = 0;
    return fail_varint();
  }

  [[gnu::always_inline]] Cursor key(Cursor p, uint32_t& number, uint32_t& wt) {
    number = 0;
    wt = 0;
    uint64_t k;
    if (!(p = varint(p, k))) return nullptr;
    if (k > 0xFFFFFFFFull) return fail_key(k);
    wt = static_cast<uint32_t>(k & 7);
    if (wt > 5) return fail_wire_type_value(wt);
    number = static_cast<uint32_t>(k) >> 3;
    if (number == 0) return fail("invalid tag value: 0");
    return p;
  }

  [[gnu::always_inline]] Cursor length(Cursor p, uint64_t& len) {
    if (!(p = varint(p, len))) return nullptr;
    if (len > static_cast<uint64_t>(end - p)) return fail_underflow();
    return p;
  }

  Cursor skip(Cursor p, uint32_t wt, uint32_t number, int budget) {
    if (budget == 0) return fail("recursion limit reached");
    uint64_t len = 0;
    switch (wt) {
      case Varint:
        return varint(p, len);
      case SixtyFourBit:
        len = 8;
        break;
      case ThirtyTwoBit:
        len = 4;
        break;
      case LengthDelimited:
        if (!(p = varint(p, len))) return nullptr;
        break;
      case StartGroup:
        for (;;) {
          uint32_t inner_number, inner_wt;
          if (!(p = key(p, inner_number, inner_wt))) return nullptr;
          if (inner_wt == EndGroup) {
            if (inner_number != number) return fail("unexpected end group tag");
            return p;
          }
          if (!(p = skip(p, inner_wt, inner_number, budget - 1))) return nullptr;
        }
      default:  // a lone end group
        return fail("unexpected end group tag");
    }
    if (len > static_cast<uint64_t>(end - p)) return fail_underflow();
    return p + len;
  }

  // One value of a known field. budget is the nesting budget of the message
  // that holds the field.
  template <class T>
  [[gnu::always_inline]] Cursor value(Cursor p, T& out, uint32_t wt, int budget) {
    if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, int32_t> || std::is_same_v<T, uint32_t> ||
                  std::is_same_v<T, uint64_t>) {
      if (wt != Varint) return fail_wire_type(wt, Varint);
      uint64_t v;
      if (!(p = varint(p, v))) return nullptr;
      if constexpr (std::is_same_v<T, bool>) {
        out = v != 0;
      } else {
        out = static_cast<T>(v);  // int32 and uint32 keep the low 32 bits
      }
      return p;
    } else if constexpr (std::is_same_v<T, float>) {
      if (wt != ThirtyTwoBit) return fail_wire_type(wt, ThirtyTwoBit);
      if (end - p < 4) return fail_underflow();
      std::memcpy(&out, p, 4);
      return p + 4;
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::vector<uint8_t>>) {
      if (wt != LengthDelimited) return fail_wire_type(wt, LengthDelimited);
      uint64_t len;
      if (!(p = length(p, len))) return nullptr;
      if constexpr (std::is_same_v<T, std::string>) {
        if (!is_valid_utf8(p, len)) return fail("invalid string value: data is not UTF-8 encoded");
      }
      out.assign(p, p + len);
      return p + len;
    } else if constexpr (is_small_vec<T>::value) {
      if (wt == Varint) {
        uint64_t v;
        if (!(p = varint(p, v))) return nullptr;
        out.push_back(static_cast<int32_t>(v));
        return p;
      }
      if (wt != LengthDelimited) return fail_wire_type(wt, Varint);
      uint64_t len;
      if (!(p = length(p, len))) return nullptr;
      return packed(p, p + len, out);
    } else {
      static_assert(is_optional<T>::value, "unsupported field type");
      if (wt != LengthDelimited) return fail_wire_type(wt, LengthDelimited);
      // Copied from a default instance rather than value-initialised: a
      // message without a constructor of its own (SensorData) would first be
      // zero-filled whole, the inline sensor arrays of its absent members
      // included, which costs more than decoding a small message.
      if (!out) out.emplace(default_instance<typename T::value_type>());
      return message(p, *out, budget);
    }
  }

  // A packed run of int32 varints, the hot loop of a sensor frame:
  // destination and count stay in registers and are stored back once.
  template <class List>
  Cursor packed(Cursor p, const uint8_t* limit, List& out) {
    const uint8_t* const input_end = end;
    int32_t* dst = out.data();
    size_t n = out.size(), capacity = out.capacity();
    auto append = [&](uint64_t v) {
      if (n == capacity) [[unlikely]] {
        out.set_size(n);
        out.reserve(n + 1);
        dst = out.data();
        capacity = out.capacity();
      }
      dst[n++] = static_cast<int32_t>(v);
    };
    // Where ten bytes are readable from every value's start (mostly the
    // whole run: other fields follow it), values are read without a bound
    // check each.
    const uint8_t* const words_end = input_end - p > 9 ? std::min(limit, input_end - 9) : p;
    bool ok = true;
    while (p < words_end) {
      const uint64_t w = load_le64(p);
      uint64_t v;
      if (!(w & 0x80)) {
        v = w & 0x7F;
        p += 1;
      } else if (!(w & 0x8000)) {
        v = (w & 0x7F) | ((w >> 1) & 0x3F80);
        p += 2;
      } else if (!read_varint_long(p, w, v)) {
        ok = false;
        break;
      }
      append(v);
    }
    while (ok && p < limit) {
      uint64_t v;
      if (!read_varint(p, input_end, v)) {
        ok = false;
        break;
      }
      append(v);
    }
    out.set_size(n);
    if (!ok) return fail_varint();
    if (p != limit) return fail("delimited length exceeded");
    return p;
  }

  // A length-delimited sub-message; its fields get one less budget.
  template <class M>
  Cursor message(Cursor p, M& msg, int budget) {
    if (budget == 0) return fail("recursion limit reached");
    uint64_t len;
    if (!(p = length(p, len))) return nullptr;
    const uint8_t* limit = p + len;
    if (!(p = fields(p, msg, limit, budget - 1))) return nullptr;
    if (p != limit) return fail("delimited length exceeded");
    return p;
  }

  // Encoders write fields in ascending number order, ours included. So the
  // schema is walked in that order first, taking each field whose key is next
  // in the input: one comparison with a constant key per field, no search,
  // and the wire type is known. Whatever breaks the order (unknown fields,
  // repeats, packed values sent unpacked) stops the walk where it stands, and
  // the general loop takes the rest, so the result is the same either way.
  template <class M>
  Cursor fields(Cursor p, M& msg, const uint8_t* limit, int budget) {
    p = in_order(p, msg, limit, budget, std::make_index_sequence<std::tuple_size_v<decltype(Schema<M>::fields)>>{});
    return p ? any_order(p, msg, limit, budget) : nullptr;
  }

  template <class M, size_t... I>
  [[gnu::always_inline]] Cursor in_order(Cursor p, M& msg, const uint8_t* limit, int budget,
                                         std::index_sequence<I...>) {
    (void)((p = next_in_line(p, msg, std::get<I>(Schema<M>::fields), limit, budget)) && ...);
    return p;
  }

  template <class M, class T>
  [[gnu::always_inline]] Cursor next_in_line(Cursor p, M& msg, const Field<M, T>& f, const uint8_t* limit,
                                             int budget) {
    constexpr WireType wt = wire_type_of<T>();
    const uint64_t k = make_key(f.number, wt);
    if (k < 0x80) {
      if (p >= limit || *p != k) return p;  // past the limit after a value that overran it
      ++p;
    } else {
      if (limit - p < 2 || p[0] != ((k & 0x7F) | 0x80) || p[1] != (k >> 7)) return p;
      p += 2;
    }
    if ((p = value(p, msg.*(f.member), wt, budget))) [[likely]] return p;
    return trace(Schema<M>::name, f.name);
  }

  template <class M>
  Cursor any_order(Cursor p, M& msg, const uint8_t* limit, int budget) {
    while (p < limit) {
      uint32_t number, wt;
      if (!(p = key(p, number, wt))) return nullptr;
      bool known = false;
      std::apply(
          [&](const auto&... f) {
            (void)((f.number == number ? (known = true, p = field(p, msg, f, wt, budget), true) : false) || ...);
          },
          Schema<M>::fields);
      if (!known) p = skip(p, wt, number, budget);
      if (!p) return nullptr;
    }
    return p;
  }

  template <class M, class T>
  Cursor field(Cursor p, M& msg, const Field<M, T>& f, uint32_t wt, int budget) {
    if ((p = value(p, msg.*(f.member), wt, budget))) [[likely]] return p;
    return trace(Schema<M>::name, f.name);
  }
};

// ---- encoding ----

template <class M>
size_t message_len(const M& msg);

template <class T>
size_t value_len(uint32_t number, const T& v) {
  const size_t key = varint_len(make_key(number, Varint));
  if constexpr (std::is_same_v<T, bool>) {
    return v ? key + 1 : 0;
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return v != 0 ? key + varint_len(int32_wire(v)) : 0;
  } else if constexpr (std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>) {
    return v != 0 ? key + varint_len(v) : 0;
  } else if constexpr (std::is_same_v<T, float>) {
    return v != 0.0f ? key + 4 : 0;
  } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::vector<uint8_t>>) {
    return v.empty() ? 0 : key + varint_len(v.size()) + v.size();
  } else if constexpr (is_small_vec<T>::value) {
    if (v.empty()) return 0;
    size_t body = 0;
    for (int32_t x : v) body += varint_len(int32_wire(x));
    return key + varint_len(body) + body;
  } else {
    if (!v) return 0;
    const size_t body = message_len(*v);
    return key + varint_len(body) + body;
  }
}

template <class M>
size_t message_len(const M& msg) {
  return std::apply([&](const auto&... f) { return (size_t{0} + ... + value_len(f.number, msg.*(f.member))); },
                    Schema<M>::fields);
}

template <class M>
uint8_t* write_message(const M& msg, uint8_t* p);

template <class T>
uint8_t* write_value(uint32_t number, const T& v, uint8_t* p) {
  if constexpr (std::is_same_v<T, bool>) {
    if (v) {
      p = write_varint(p, make_key(number, Varint));
      *p++ = 1;
    }
  } else if constexpr (std::is_same_v<T, int32_t>) {
    if (v != 0) p = write_varint(write_varint(p, make_key(number, Varint)), int32_wire(v));
  } else if constexpr (std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>) {
    if (v != 0) p = write_varint(write_varint(p, make_key(number, Varint)), v);
  } else if constexpr (std::is_same_v<T, float>) {
    if (v != 0.0f) {  // -0.0 compares equal to 0.0 and is left out too
      p = write_varint(p, make_key(number, ThirtyTwoBit));
      std::memcpy(p, &v, 4);
      p += 4;
    }
  } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::vector<uint8_t>>) {
    if (!v.empty()) {
      p = write_varint(write_varint(p, make_key(number, LengthDelimited)), v.size());
      std::memcpy(p, v.data(), v.size());
      p += v.size();
    }
  } else if constexpr (is_small_vec<T>::value) {
    if (!v.empty()) {
      size_t body = 0;
      for (int32_t x : v) body += varint_len(int32_wire(x));
      p = write_varint(write_varint(p, make_key(number, LengthDelimited)), body);
      for (int32_t x : v) p = write_varint(p, int32_wire(x));
    }
  } else {
    if (v) {
      p = write_varint(write_varint(p, make_key(number, LengthDelimited)), message_len(*v));
      p = write_message(*v, p);
    }
  }
  return p;
}

template <class M>
uint8_t* write_message(const M& msg, uint8_t* p) {
  std::apply([&](const auto&... f) { ((p = write_value(f.number, msg.*(f.member), p)), ...); }, Schema<M>::fields);
  return p;
}

template <class M>
std::vector<uint8_t> encode(const M& msg) {
  std::vector<uint8_t> out(message_len(msg));
  if (!out.empty()) write_message(msg, out.data());
  return out;
}

template <class M>
Result<size_t, EncodeError> encode_into(const M& msg, std::span<uint8_t> out) {
  const size_t need = message_len(msg);
  if (need > out.size()) return EncodeError{need, out.size()};
  if (need) write_message(msg, out.data());
  return need;
}

template <class M>
bool decode_into(std::span<const uint8_t> payload, M& msg, DecodeError& err) {
  if (payload.empty()) return true;  // all fields absent; and an empty span's data() may be null, no cursor
  const uint8_t* end = payload.data() + payload.size();
  return Decoder{end, err}.fields(payload.data(), msg, end, kRecursionLimit) != nullptr;
}

template <class M>
Result<M, DecodeError> decode(std::span<const uint8_t> payload) {
  M msg;
  DecodeError err;
  if (!decode_into(payload, msg, err)) return err;
  return msg;
}

}  // namespace

Result<InsoleResp, DecodeError> decode_insole_resp(std::span<const uint8_t> payload) {
  return decode<InsoleResp>(payload);
}

Result<InsoleReq, DecodeError> decode_insole_req(std::span<const uint8_t> payload) {
  return decode<InsoleReq>(payload);
}

void clear(InsoleResp& msg) {
  msg.msg_id = 0;
  msg.err_code = 0;
  msg.device_info.reset();
  msg.runtime_info.reset();
  msg.battery_data.reset();
  msg.sensor_config.reset();
  msg.device_status.reset();
  msg.factory_config.reset();
  msg.sensor_data.reset();
  msg.device_event.reset();
  msg.ota_resp.reset();
}

bool decode_insole_resp_into(std::span<const uint8_t> payload, InsoleResp& out, DecodeError& error) {
  clear(out);
  return decode_into(payload, out, error);
}

size_t encoded_len(const InsoleResp& msg) { return message_len(msg); }
size_t encoded_len(const InsoleReq& msg) { return message_len(msg); }
std::vector<uint8_t> encode_insole_resp(const InsoleResp& msg) { return encode(msg); }
std::vector<uint8_t> encode_insole_req(const InsoleReq& msg) { return encode(msg); }
Result<size_t, EncodeError> encode_insole_resp_into(const InsoleResp& msg, std::span<uint8_t> out) {
  return encode_into(msg, out);
}
Result<size_t, EncodeError> encode_insole_req_into(const InsoleReq& msg, std::span<uint8_t> out) {
  return encode_into(msg, out);
}

}  // namespace tvis::protocol
