#include "insole/sources/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "insole/cli/values.h"

namespace insole {

int listen_tcp(const std::string& address, std::string_view option, std::string_view what, std::string_view tail,
               int backlog) {
  const std::string name(option);
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos)
    throw UsageError(name + " needs " + (name == "--feed" ? "- or HOST:PORT" : "ADDRESS:PORT") +
                     ", for example 127.0.0.1:7000");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  const std::string host = address.substr(0, colon);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1)
    throw UsageError("invalid address '" + host + "' for " + name + " (expected an IPv4 address such as 127.0.0.1)");
  sa.sin_port = htons(static_cast<uint16_t>(parse_u32(address.substr(colon + 1), name)));
  if (ntohl(sa.sin_addr.s_addr) >> 24 != 127)
    std::fprintf(stderr, "insole: warning: listening on %s, beyond this machine\n", host.c_str());
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on " + address + ": " + why);
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  std::fprintf(stderr, "insole: %.*s listening on %s:%u%.*s\n", static_cast<int>(what.size()), what.data(),
               host.c_str(), ntohs(sa.sin_port), static_cast<int>(tail.size()), tail.data());
  return fd;
}

}  // namespace insole
