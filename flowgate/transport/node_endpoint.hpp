#pragma once

// Where a node is reached. Two readings of a node's "host:port" address:
// the connection's host and port (the host used as given), and the node's IPv4
// endpoint as listed in an authRequest, whose laxer rule skips address pieces
// that are not numbers.

#include "flowgate/config/records.hpp"
#include "flowgate/transport/frame.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace flowgate {

struct HostPort {
  std::string host;
  std::uint16_t port;
};

// Split once at the first ":" (empty pieces ignored): exactly two pieces, the
// second a decimal port.
std::optional<HostPort> hostPort(const ExtensionNode& node);

std::optional<HopEndpoint> ipv4Endpoint(const ExtensionNode& node);

}  // namespace flowgate
