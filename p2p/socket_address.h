// An IPv4 or IPv6 socket address, compared by family, address and port (and for
// IPv6 also flow information and scope id).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kio::p2p {

class SocketAddress {
 public:
  SocketAddress() = default;
  static std::optional<SocketAddress> from_sockaddr(const sockaddr* addr, socklen_t len);
  // "A.B.C.D:PORT" or "[IPv6]:PORT".
  static std::optional<SocketAddress> parse(std::string_view text);

  std::uint16_t port() const;
  bool is_ipv6() const { return storage_.ss_family == AF_INET6; }
  const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t raw_len() const { return len_; }
  // Standard text form: dotted IPv4 and port, or the IPv6 address in brackets and port.
  std::string to_string() const;

  bool operator==(const SocketAddress& other) const;
  bool operator<(const SocketAddress& other) const;

 private:
  sockaddr_storage storage_{};
  socklen_t len_ = 0;
};

}  // namespace kio::p2p
