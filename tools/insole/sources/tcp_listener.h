// A TCP listening socket on an IPv4 ADDRESS:PORT taken from an option, for
// the commands that serve hosts (virtual insoles, live feeds).
#pragma once

#include <string>
#include <string_view>

namespace insole {

// Listens on address ("127.0.0.1:7000"; port 0 picks a free one) and says on
// standard error where, as "insole: <what> listening on HOST:PORT<tail>". An
// address beyond this machine is served with a warning. Throws UsageError
// (naming option) for text that is not an address, std::runtime_error when
// the socket cannot listen. Returns the listening descriptor.
int listen_tcp(const std::string& address, std::string_view option, std::string_view what, std::string_view tail,
               int backlog);

}  // namespace insole
