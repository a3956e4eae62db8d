// Names on the broker: the broker address from the command line, and the
// topic levels `insoles/<host>/<device>/<kind>` with ids made safe to use as
// one level (no wildcards, no separators).
#pragma once

#include <string>
#include <string_view>

namespace insole {

struct BrokerAddress {
  std::string host;
  int port = 1883;
  bool tls = false;  // mqtts://
  std::string text() const { return host + ":" + std::to_string(port); }
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883 and 8883 by default).
// Throws UsageError; credentials written into the address are refused
// without echoing them.
BrokerAddress parse_broker(std::string_view text);

// One topic level from an id: '+', '#', '/', control bytes and NUL become
// '_', an empty id becomes "_", and a leading '.' too (the subscriber makes
// file names of them).
std::string topic_level(std::string_view id);

// A file or folder name under the subscriber's --out from one topic level,
// which comes from the network: bytes outside printable ASCII and '/', '\\',
// '%', '+', '#', ' ' become %XX (upper-case hex), a leading '.' too, so the
// name is never hidden, never "." or "..", never leaves the folder, and
// decodes back to the level. An empty level is "%". A name that would pass
// 200 bytes is cut to its first 184 bytes ('~' for a %XX cut in two), then
// '~' and 16 hex digits of a hash of the whole level: 201 bytes, under the 255
// of a file name with "+N.mcap", and never equal to a name that was not cut.
std::string capture_name(std::string_view level);

// This machine's name as a topic level.
std::string default_host_level();

}  // namespace insole
