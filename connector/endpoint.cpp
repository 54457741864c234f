#include "connector/endpoint.h"

#include "common/file_io.h"
#include "install/json.h"
#include "install/paths.h"

namespace kio::connector {

std::string serialize_endpoint(const PeerEndpoint& endpoint) {
  using install::json::append_json_string;
  std::string out = "{\n  \"schema\": ";
  append_json_string(out, endpoint.schema);
  out += ",\n  \"host\": ";
  append_json_string(out, endpoint.host);
  out += ",\n  \"port\": " + std::to_string(endpoint.port) + ",\n  \"transport\": ";
  append_json_string(out, endpoint.transport);
  out += "\n}";
  return out;
}

Result<void> write_endpoint(const std::filesystem::path& install_root, std::uint16_t port) {
  PeerEndpoint endpoint;
  endpoint.port = port;
  const auto path = install::peer_endpoint_path(install_root);
  if (auto written = write_file(path, serialize_endpoint(endpoint)); !written) return written;
  return change_mode(path, 0600);
}

}  // namespace kio::connector
