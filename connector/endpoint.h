// "peer-endpoint.json": where peers on this machine find the connector's port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/result.h"

namespace kio::connector {


inline constexpr const char* PEER_ENDPOINT_SCHEMA = "kio.peer-endpoint.v2";

struct PeerEndpoint {
  std::string schema = PEER_ENDPOINT_SCHEMA;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string transport = "udp";
};

// Six lines, two-space indentation, no line break after the closing brace.
std::string serialize_endpoint(const PeerEndpoint& endpoint);

// Replaces the file whole (a temporary file with mode 0600, flushed and renamed
// over it). Only the port is taken from the bound address; the host is always
// the loopback text.
Result<void> write_endpoint(const std::filesystem::path& install_root, std::uint16_t port);

}  // namespace kio::connector
