// The writer is generated per message from the field tables at compile time:
// the member order (keys sorted byte by byte), the quoted keys and the kind of
// each value are constants, so rendering a message is straight-line code that
// writes into the output buffer through a cursor.
#include "protocol/json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "protocol/json_number.h"
#include "protocol/schema.h"
#include "util/fixed_texts.h"

namespace tvis::protocol {

namespace {

// ---- keys, computed at compile time ----

// A key as written: quotes and colon included ("\"accX\":").
struct QuotedKey {
  char text[40] = {};
  size_t len = 0;

  constexpr std::string_view view() const { return {text, len}; }
};

// The field's name in lower camel case: accel_x becomes accelX; the escape
// mark of a field-path name ("r#type") goes.
constexpr QuotedKey quoted_key(std::string_view field_name) {
  if (field_name.starts_with(fixed_texts::kFieldPathEscape)) field_name.remove_prefix(fixed_texts::kFieldPathEscape.size());
  QuotedKey k;
  k.text[k.len++] = '"';
  bool upper = false;
  for (char ch : field_name) {
    if (ch == '_') {
      upper = true;
      continue;
    }
    k.text[k.len++] = upper ? static_cast<char>(ch - 'a' + 'A') : ch;
    upper = false;
  }
  k.text[k.len++] = '"';
  k.text[k.len++] = ':';
  return k;
}

// The six values derived from an IMU sample follow the real fields.
constexpr std::string_view kDerivedImuKeys[] = {"accXMg", "accYMg", "accZMg", "gyroXDps", "gyroYDps", "gyroZDps"};

template <class M>
constexpr size_t kFieldCount = std::tuple_size_v<decltype(Schema<M>::fields)>;

template <class M>
constexpr size_t kEntryCount = kFieldCount<M> + (std::is_same_v<M, ImuData> ? std::size(kDerivedImuKeys) : 0);

template <class M>
constexpr auto make_keys() {
  std::array<QuotedKey, kEntryCount<M>> keys{};
  size_t i = 0;
  std::apply([&](const auto&... f) { ((keys[i++] = quoted_key(f.name)), ...); }, Schema<M>::fields);
  if constexpr (std::is_same_v<M, ImuData>) {
    for (std::string_view derived : kDerivedImuKeys) {
      QuotedKey& k = keys[i++];
      k.text[k.len++] = '"';
      for (char ch : derived) k.text[k.len++] = ch;
      k.text[k.len++] = '"';
      k.text[k.len++] = ':';
    }
  }
  return keys;
}

// Entries in index order: fields in table order, then the derived values.
template <class M>
constexpr auto kKeys = make_keys<M>();

// Member order: ascending byte order of the keys. A closing quote sorts
// before every character a key holds, so the quoted texts compare as the bare
// keys do ("accX" before "accXMg").
template <class M>
constexpr auto make_order() {
  std::array<size_t, kEntryCount<M>> order{};
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](size_t a, size_t b) {
    const std::string_view ka = kKeys<M>[a].view(), kb = kKeys<M>[b].view();
    return std::lexicographical_compare(ka.begin(), ka.end(), kb.begin(), kb.end(), [](char x, char y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
  });
  return order;
}

template <class M>
constexpr auto kOrder = make_order<M>();

// ---- the writer ----

// The length of the well-formed UTF-8 sequence at the start of text (no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0 if there is none.
size_t utf8_sequence_length(std::string_view text) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(0);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (text.size() < n || at(1) < low || at(1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  return n;
}

char* write_string(char* p, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  *p++ = '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char ch = static_cast<unsigned char>(c);
    if (ch >= 0x80) {
      // Valid UTF-8 goes through as it is; a byte that is not part of a
      // valid sequence (an id is outside bytes) becomes \u00XX, its value as
      // a code point, so the text stays JSON whatever the bytes.
      if (const size_t n = utf8_sequence_length(text.substr(i)); n > 0) {
        for (size_t k = 0; k < n; ++k) *p++ = text[i + k];
        i += n - 1;
        continue;
      }
    } else if (ch >= 0x20 && ch != '"' && ch != '\\') {
      *p++ = c;
      continue;
    }
    *p++ = '\\';
    switch (ch) {
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      case 0x08: *p++ = 'b'; break;
      case 0x09: *p++ = 't'; break;
      case 0x0A: *p++ = 'n'; break;
      case 0x0C: *p++ = 'f'; break;
      case 0x0D: *p++ = 'r'; break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[ch >> 4];
        *p++ = kHex[ch & 0xF];
    }
  }
  *p++ = '"';
  return p;
}

// The longest escape of one byte (\u00XX).
constexpr size_t kMaxEscape = 6;

struct Writer {
  TextBuffer& text;

  void put(char ch) {
    char* p = text.room(1);
    *p = ch;
    text.done(p + 1);
  }

  template <class M>
  void object(const M& msg) {
    put('{');
    bool first = true;
    [&]<size_t... J>(std::index_sequence<J...>) {
      (member<M, kOrder<M>[J]>(msg, first), ...);
    }(std::make_index_sequence<kEntryCount<M>>{});
    put('}');
  }

  template <class M, size_t E>
  [[gnu::always_inline]] void member(const M& msg, bool& first) {
    if constexpr (E < kFieldCount<M>) {
      field<M, E>(msg, first);
    } else {
      derived_imu<E - kFieldCount<M>>(msg, first);
    }
  }

  // The key (after a comma unless it is the first member); returns the
  // cursor with extra bytes of room after the key for the value.
  template <class M, size_t E>
  [[gnu::always_inline]] char* key(bool& first, size_t extra) {
    constexpr QuotedKey k = kKeys<M>[E];
    char* p = text.room(k.len + 1 + extra);
    if (!first) *p++ = ',';
    first = false;
    std::memcpy(p, k.text, k.len);
    return p + k.len;
  }

  template <class M, size_t I>
  [[gnu::always_inline]] void field(const M& msg, bool& first) {
    constexpr const auto& f = std::get<I>(Schema<M>::fields);
    using T = std::remove_cvref_t<decltype(msg.*(f.member))>;
    const T& v = msg.*(f.member);
    if constexpr (std::is_same_v<T, bool>) {
      if (!v) return;
      char* p = key<M, I>(first, 4);
      std::memcpy(p, "true", 4);
      text.done(p + 4);
    } else if constexpr (std::is_same_v<T, int32_t> && f.is_enum) {
      if (v == 0) return;
      // Checked before rendering, so the name is there.
      const std::string_view name = f.enum_info->name_of(v);
      char* p = key<M, I>(first, name.size() + 2);
      *p++ = '"';
      std::memcpy(p, name.data(), name.size());
      p += name.size();
      *p++ = '"';
      text.done(p);
    } else if constexpr (std::is_same_v<T, int32_t>) {
      if (v == 0) return;
      text.done(write_int32(key<M, I>(first, 11), v));
    } else if constexpr (std::is_same_v<T, uint32_t>) {
      if (v == 0) return;
      text.done(write_uint32(key<M, I>(first, 10), v));
    } else if constexpr (std::is_same_v<T, uint64_t>) {
      if (v == 0) return;
      char* p = key<M, I>(first, 22);
      *p++ = '"';
      p = std::to_chars(p, p + 20, v).ptr;
      *p++ = '"';
      text.done(p);
    } else if constexpr (std::is_same_v<T, float>) {
      if (v == 0.0f) return;
      char* p = key<M, I>(first, kMaxDoubleText);
      text.done(write_double(p, static_cast<double>(v)));  // null when not finite
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (v.empty()) return;
      char* p = key<M, I>(first, 2 + kMaxEscape * v.size());
      text.done(write_string(p, v));
    } else if constexpr (is_small_vec<T>::value) {
      if (v.empty()) return;
      // Read once: the text's stores could otherwise be taken to change them.
      const int32_t* values = v.data();
      const size_t n = v.size();
      char* p = key<M, I>(first, 2 + 12 * n);  // "-2147483648" and a comma each
      *p++ = '[';
      p = write_int32(p, values[0]);
      for (size_t i = 1; i < n; ++i) {
        *p++ = ',';
        p = write_int32(p, values[i]);
      }
      *p++ = ']';
      text.done(p);
    } else if constexpr (is_optional<T>::value) {
      if (!v) return;
      text.done(key<M, I>(first, 0));
      object(*v);
    } else {
      static_assert(sizeof(T) == 0, "field kind without a JSON form");
    }
  }

  template <size_t K>
  [[gnu::always_inline]] void derived_imu(const ImuData& imu, bool& first) {
    const float value = imu.physical()[K];
    if (!std::isfinite(value)) return;
    char* p = key<ImuData, kFieldCount<ImuData> + K>(first, kMaxDoubleText);
    text.done(write_double(p, static_cast<double>(value)));
  }
};

// ---- enumerations outside their tables ----

// Whether a message or one below it holds an enumeration: the others need no
// check at all.
template <class M>
constexpr bool holds_enum() {
  return std::apply(
      [](const auto&... f) {
        return ((f.is_enum ||
                 [&] {
                   using T = std::remove_cvref_t<decltype(std::declval<M>().*(f.member))>;
                   if constexpr (is_optional<T>::value) {
                     return holds_enum<typename T::value_type>();
                   } else {
                     return false;
                   }
                 }()) ||
                ...);
      },
      Schema<M>::fields);
}

// Enumerations are checked in field order before anything is written, so the
// error names the first bad value as the fields come.
template <class M>
std::optional<int32_t> invalid_enum(const M& msg);

template <class M, size_t I>
std::optional<int32_t> invalid_enum_in(const M& msg) {
  constexpr const auto& f = std::get<I>(Schema<M>::fields);
  using T = std::remove_cvref_t<decltype(msg.*(f.member))>;
  const T& v = msg.*(f.member);
  if constexpr (std::is_same_v<T, int32_t> && f.is_enum) {
    if (v != 0 && f.enum_info->name_of(v).empty()) return v;
  } else if constexpr (is_optional<T>::value) {
    if (v) return invalid_enum(*v);
  }
  return std::nullopt;
}

template <class M>
std::optional<int32_t> invalid_enum(const M& msg) {
  if constexpr (!holds_enum<M>()) {
    return std::nullopt;
  } else {
    std::optional<int32_t> bad;
    [&]<size_t... I>(std::index_sequence<I...>) {
      (void)((bad = invalid_enum_in<M, I>(msg), bad.has_value()) || ...);
    }(std::make_index_sequence<kFieldCount<M>>{});
    return bad;
  }
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
  TextBuffer buffer;
  buffer.done(write_string(buffer.room(2 + kMaxEscape * text.size()), text));
  out.append(buffer.view(0, buffer.size()));
}

Result<void, std::string> render_json(const InsoleResp& msg, TextBuffer& out) {
  if (auto bad = invalid_enum_top(msg)) return "Invalid variant " + std::to_string(*bad);
  out.room(1024);  // a sensor message renders to about 750 bytes
  Writer{out}.object(msg);
  return {};
}

Result<void, std::string> render_json(const InsoleResp& msg, std::string& out) {
  TextBuffer buffer;
  if (auto rendered = render_json(msg, buffer); !rendered) return rendered;
  out.append(buffer.view(0, buffer.size()));
  return {};
}

}  // namespace tvis::protocol
