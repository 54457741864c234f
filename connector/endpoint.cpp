#include "connector/endpoint.h"

#include "common/file_io.h"
#include "install/json.h"
#include "install/paths.h"

namespace kio::connector {

std::string serialize_endpoint(const PeerEndpoint& endpoint) {
  std::string out;
  install::json::Writer(out, install::json::Layout::indented)
      .begin_object()
      .name("schema").string(endpoint.schema)
      .name("host").string(endpoint.host)
      .name("port").number(endpoint.port)
      .name("transport").string(endpoint.transport)
      .end_object();
  return out;
}

Result<void> write_endpoint(const std::filesystem::path& install_root, std::uint16_t port) {
  PeerEndpoint endpoint;
  endpoint.port = port;
  const auto path = install::peer_endpoint_path(install_root);
  // Replaced whole, created owner-only: a peer that reads it meanwhile sees the
  // old endpoint or the new one, never a torn one.
  return replace_file(path, serialize_endpoint(endpoint), 0600, /*exact_mode=*/true);
}

}  // namespace kio::connector
