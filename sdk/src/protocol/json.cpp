#include "protocol/json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/json_number.h"
#include "protocol/schema.h"
#include "util/fixed_texts.h"

namespace tvis::protocol {

namespace {

std::string camel_case(std::string_view field_name) {
  if (field_name.starts_with(fixed_texts::kFieldPathEscape)) field_name.remove_prefix(fixed_texts::kFieldPathEscape.size());
  std::string out;
  bool upper = false;
  for (char ch : field_name) {
    if (ch == '_') {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(ch - 'a' + 'A') : ch;
    upper = false;
  }
  return out;
}

// The six values derived from an IMU sample, appended after the real fields.
constexpr std::string_view kDerivedImuKeys[] = {"accXMg", "accYMg", "accZMg", "gyroXDps", "gyroYDps", "gyroZDps"};

struct KeyEntry {
  std::string key;  // with its quotes and colon: "\"accX\":"
  size_t index;     // position in the field table; derived IMU values follow it
};

// Member order of one message's object, computed once.
template <class M>
const std::vector<KeyEntry>& key_order() {
  static const std::vector<KeyEntry> order = [] {
    std::vector<std::pair<std::string, size_t>> keys;
    constexpr size_t n = std::tuple_size_v<decltype(Schema<M>::fields)>;
    std::apply(
        [&](const auto&... f) {
          size_t i = 0;
          ((keys.emplace_back(camel_case(f.name), i++)), ...);
        },
        Schema<M>::fields);
    if constexpr (std::is_same_v<M, ImuData>) {
      for (size_t k = 0; k < std::size(kDerivedImuKeys); ++k) keys.emplace_back(kDerivedImuKeys[k], n + k);
    }
    std::sort(keys.begin(), keys.end());  // std::string compares bytes as unsigned char
    std::vector<KeyEntry> out;
    for (auto& [key, index] : keys) out.push_back({"\"" + key + "\":", index});
    return out;
  }();
  return order;
}

void append_int(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_float(std::string& out, double v) {
  if (std::isfinite(v)) {
    append_double(out, v);
  } else {
    out += "null";
  }
}

struct Writer {
  std::string& out;
  std::optional<std::string> error;

  template <class M>
  void object(const M& msg) {
    out += '{';
    bool first = true;
    for (const KeyEntry& entry : key_order<M>()) member(msg, entry, first);
    out += '}';
  }

  // One renderer per field, picked by the entry's index: no search per member.
  template <class M>
  using MemberFn = void (*)(Writer&, const M&, const KeyEntry&, bool&);

  template <class M, size_t I>
  static void render_member(Writer& w, const M& msg, const KeyEntry& entry, bool& first) {
    w.field(msg, std::get<I>(Schema<M>::fields), entry.key, first);
  }

  template <class M>
  static const auto& member_table() {
    constexpr size_t n = std::tuple_size_v<decltype(Schema<M>::fields)>;
    static constexpr auto table = []<size_t... I>(std::index_sequence<I...>) {
      return std::array<MemberFn<M>, n>{&render_member<M, I>...};
    }(std::make_index_sequence<n>{});
    return table;
  }

  template <class M>
  void member(const M& msg, const KeyEntry& entry, bool& first) {
    constexpr size_t n = std::tuple_size_v<decltype(Schema<M>::fields)>;
    if constexpr (std::is_same_v<M, ImuData>) {
      if (entry.index >= n) {
        derived_imu(msg, entry, first);
        return;
      }
    }
    member_table<M>()[entry.index](*this, msg, entry, first);
  }

  void key(const std::string& quoted_key, bool& first) {
    if (!first) out += ',';
    first = false;
    out += quoted_key;
  }

  template <class M, class T>
  void field(const M& msg, const Field<M, T>& f, const std::string& quoted_key, bool& first) {
    const T& v = msg.*(f.member);
    if constexpr (std::is_same_v<T, bool>) {
      if (v) {
        key(quoted_key, first);
        out += "true";
      }
    } else if constexpr (std::is_same_v<T, int32_t>) {
      if (v == 0) return;
      key(quoted_key, first);
      if (f.enum_info) {
        // Validated before rendering, so the name is there.
        append_json_string(out, f.enum_info->name_of(v));
      } else {
        append_int(out, v);
      }
    } else if constexpr (std::is_same_v<T, uint32_t>) {
      if (v == 0) return;
      key(quoted_key, first);
      append_int(out, v);
    } else if constexpr (std::is_same_v<T, uint64_t>) {
      if (v == 0) return;
      key(quoted_key, first);
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v);
      out += '"';
      out.append(buf, r.ptr);
      out += '"';
    } else if constexpr (std::is_same_v<T, float>) {
      if (v == 0.0f) return;
      key(quoted_key, first);
      append_float(out, static_cast<double>(v));
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (v.empty()) return;
      key(quoted_key, first);
      append_json_string(out, v);
    } else if constexpr (is_small_vec<T>::value) {
      if (v.empty()) return;
      key(quoted_key, first);
      // Digits go to a stack buffer first: one append per block of values
      // instead of one per value.
      char buf[512];
      char* p = buf;
      *p++ = '[';
      for (size_t i = 0; i < v.size(); ++i) {
        if (p > buf + sizeof buf - 16) {
          out.append(buf, p);
          p = buf;
        }
        if (i) *p++ = ',';
        p = std::to_chars(p, buf + sizeof buf, v[i]).ptr;
      }
      *p++ = ']';
      out.append(buf, p);
    } else if constexpr (is_optional<T>::value) {
      if (!v) return;
      key(quoted_key, first);
      object(*v);
    }
  }

  void derived_imu(const ImuData& imu, const KeyEntry& entry, bool& first) {
    const size_t k = entry.index - std::tuple_size_v<decltype(Schema<ImuData>::fields)>;
    const float acc_scale = imu.acc_scale_or_default();
    const float gyro_scale = imu.gyro_scale_or_default();
    const int32_t samples[] = {imu.acc_x, imu.acc_y, imu.acc_z, imu.gyro_x, imu.gyro_y, imu.gyro_z};
    const float value = (k < 3 ? acc_scale : gyro_scale) * static_cast<float>(samples[k]);
    if (!std::isfinite(value)) return;
    key(entry.key, first);
    append_double(out, static_cast<double>(value));
  }
};

// Enumerations are checked in field order before anything is written, so the
// error names the first bad value as the fields come.
template <class M>
std::optional<int32_t> invalid_enum(const M& msg);

template <class M, class T>
std::optional<int32_t> invalid_enum_in(const M& msg, const Field<M, T>& f) {
  const T& v = msg.*(f.member);
  if constexpr (std::is_same_v<T, int32_t>) {
    if (f.enum_info && v != 0 && f.enum_info->name_of(v).empty()) return v;
  } else if constexpr (is_optional<T>::value) {
    if (v) return invalid_enum(*v);
  }
  return std::nullopt;
}

template <class M>
std::optional<int32_t> invalid_enum(const M& msg) {
  std::optional<int32_t> bad;
  std::apply([&](const auto&... f) { (void)((bad = invalid_enum_in(msg, f), bad.has_value()) || ...); },
             Schema<M>::fields);
  return bad;
}

// The top level is not checked in field-number order: the protocol's own
// table of InsoleResp lists the OTA answer (field 50) before the device event
// (field 31). When both hold a bad value, the error names the OTA one, and
// callers match that text, so this order is part of the contract.
std::optional<int32_t> invalid_enum_top(const InsoleResp& msg) {
  if (msg.err_code != 0 && kErrorCodeEnum.name_of(msg.err_code).empty()) return msg.err_code;
  std::optional<int32_t> bad;
  auto check = [&bad](const auto& sub) {
    if (!bad && sub) bad = invalid_enum(*sub);
  };
  check(msg.device_info);
  check(msg.runtime_info);
  check(msg.battery_data);
  check(msg.sensor_config);
  check(msg.device_status);
  check(msg.factory_config);
  check(msg.sensor_data);
  check(msg.ota_resp);
  check(msg.device_event);
  return bad;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch >= 0x20 && ch != '"' && ch != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[ch >> 4];
        out += kHex[ch & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

std::optional<std::string> render_json(const InsoleResp& msg, std::string& out) {
  if (auto bad = invalid_enum_top(msg)) return "Invalid variant " + std::to_string(*bad);
  out.reserve(out.size() + 1024);  // a sensor message renders to about 750 bytes
  Writer w{out, std::nullopt};
  w.object(msg);
  return std::nullopt;
}

}  // namespace tvis::protocol
