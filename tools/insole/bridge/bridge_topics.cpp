#include "insole/bridge/bridge_topics.h"

#include <unistd.h>

#include <climits>

#include "insole/cli/values.h"

namespace insole {

BrokerAddress parse_broker(std::string_view text) {
  BrokerAddress address;
  std::string_view rest = text;
  if (rest.starts_with("mqtt://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("mqtts://")) {
    rest.remove_prefix(8);
    address.tls = true;
    address.port = 8883;
  } else {
    throw UsageError("invalid value for --broker (expected mqtt://HOST:PORT or mqtts://HOST:PORT)");
  }
  // The address ends up in messages; a password inside it would too.
  if (rest.find('@') != std::string_view::npos)
    throw UsageError("--broker takes no credentials: use --username and --password-file");
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view host = rest;
  if (rest.starts_with('[')) {  // [v6 address]:port
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) throw UsageError("invalid value for --broker (unclosed '[')");
    host = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) throw UsageError("invalid value for --broker (text after ']')");
  } else {
    const size_t colon = rest.rfind(':');
    host = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon);
  }
  if (host.empty() || host.find('/') != std::string_view::npos)
    throw UsageError("invalid value for --broker (expected mqtt://HOST:PORT)");
  address.host = std::string(host);
  if (!rest.empty()) {
    const std::string digits(rest.substr(1));
    char* end = nullptr;
    const long port = digits.empty() ? -1 : std::strtol(digits.c_str(), &end, 10);
    if (port < 1 || port > 65535 || *end != '\0')
      throw UsageError("invalid port '" + digits + "' in --broker (expected 1 to 65535)");
    address.port = static_cast<int>(port);
  }
  return address;
}

std::string topic_level(std::string_view id) {
  std::string level(id);
  for (char& c : level)
    if (c == '+' || c == '#' || c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  if (level.empty()) return "_";
  if (level[0] == '.') level[0] = '_';
  return level;
}

std::string capture_name(std::string_view level) {
  constexpr size_t kMaxName = 200;  // room for "+N.mcap" under the 255 bytes of a file name
  constexpr size_t kKept = kMaxName - 16;  // a long name keeps this much, then '~' and 16 hex digits
  if (level.empty()) return "%";  // never made by encoding: every other '%' has two hex digits after it
  static const char hex[] = "0123456789ABCDEF";
  std::string name;
  size_t cut = 0;  // the length of the name at the last whole byte within kKept
  for (size_t i = 0; i < level.size(); ++i) {
    const auto c = static_cast<unsigned char>(level[i]);
    const bool plain = c > 0x20 && c < 0x7f && c != '/' && c != '\\' && c != '%' && c != '+' && c != '#' &&
                       !(i == 0 && c == '.');
    if (plain) {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += hex[c >> 4];
      name += hex[c & 15];
    }
    if (name.size() <= kKept) cut = name.size();
    if (name.size() > kMaxName) break;  // to be cut: the rest only goes into the hash
  }
  if (name.size() <= kMaxName) return name;
  // Too long for a folder: the start of the name and a hash of the whole
  // level (FNV-1a), 201 bytes, so it never equals a name that was not cut.
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : level) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  name.resize(cut);
  name.append(kKept - cut + 1, '~');  // a %XX that did not fit leaves '~' in its place
  for (int shift = 60; shift >= 0; shift -= 4) name += hex[(hash >> shift) & 15];
  return name;
}

std::string default_host_level() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return topic_level(name);
}

}  // namespace insole
