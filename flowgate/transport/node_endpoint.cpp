#include "flowgate/transport/node_endpoint.hpp"

#include "runtime/text.hpp"

namespace flowgate {

std::optional<HostPort> hostPort(const ExtensionNode& node) {
  auto pieces = runtime::splitOmittingEmpty(node.address, ':', 1);
  if (pieces.size() != 2) return std::nullopt;
  auto port = runtime::parseDecimal(pieces[1], 65535);
  if (!port) return std::nullopt;
  return HostPort{std::string(pieces[0]), static_cast<std::uint16_t>(*port)};
}

std::optional<HopEndpoint> ipv4Endpoint(const ExtensionNode& node) {
  auto parts = hostPort(node);
  if (!parts) return std::nullopt;
  std::uint32_t address = 0;
  int octets = 0;
  for (auto piece : runtime::splitOmittingEmpty(parts->host, '.')) {
    auto octet = runtime::parseDecimal(piece, 255);
    if (!octet) continue;
    if (++octets > 4) return std::nullopt;
    address = (address << 8) | static_cast<std::uint32_t>(*octet);
  }
  if (octets != 4) return std::nullopt;
  return HopEndpoint{address, parts->port};
}

}  // namespace flowgate
