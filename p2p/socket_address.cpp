#include "p2p/socket_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <tuple>

namespace kio::p2p {

std::optional<SocketAddress> SocketAddress::from_sockaddr(const sockaddr* addr, socklen_t len) {
  SocketAddress out;
  if (addr->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    out.len_ = sizeof(sockaddr_in);
  } else if (addr->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    out.len_ = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  std::memcpy(&out.storage_, addr, out.len_);
  return out;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port_text = text.substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535 || port_text.empty()) {
    return std::nullopt;
  }
  SocketAddress out;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const std::string h(host.substr(1, host.size() - 2));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET6, h.c_str(), &a.sin6_addr) != 1) return std::nullopt;
    std::memcpy(&out.storage_, &a, sizeof a);
    out.len_ = sizeof a;
    return out;
  }
  const std::string h(host);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, h.c_str(), &a.sin_addr) != 1) return std::nullopt;
  std::memcpy(&out.storage_, &a, sizeof a);
  out.len_ = sizeof a;
  return out;
}

std::uint16_t SocketAddress::port() const {
  if (storage_.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
  if (storage_.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return 0;
}

std::string SocketAddress::to_string() const {
  char buf[INET6_ADDRSTRLEN] = {};
  if (storage_.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&storage_);
    inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    std::string out(buf);
    out.push_back(':');
    out.append(std::to_string(ntohs(a->sin_port)));
    return out;
  }
  if (storage_.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage_);
    inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    std::string out = "[";
    out.append(buf);
    if (a->sin6_scope_id != 0) {
      out.push_back('%');
      out.append(std::to_string(a->sin6_scope_id));
    }
    out.append("]:");
    out.append(std::to_string(ntohs(a->sin6_port)));
    return out;
  }
  return "<unknown address>";
}

namespace {
auto key(const sockaddr_storage& s) {
  std::string addr;
  std::uint16_t port = 0;
  std::uint32_t flow = 0, scope = 0;
  if (s.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&s);
    addr.assign(reinterpret_cast<const char*>(&a->sin_addr), sizeof a->sin_addr);
    port = a->sin_port;
  } else if (s.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&s);
    addr.assign(reinterpret_cast<const char*>(&a->sin6_addr), sizeof a->sin6_addr);
    port = a->sin6_port;
    flow = a->sin6_flowinfo;
    scope = a->sin6_scope_id;
  }
  return std::make_tuple(s.ss_family, addr, port, flow, scope);
}
}  // namespace

bool SocketAddress::operator==(const SocketAddress& other) const { return key(storage_) == key(other.storage_); }
bool SocketAddress::operator<(const SocketAddress& other) const { return key(storage_) < key(other.storage_); }

}  // namespace kio::p2p
