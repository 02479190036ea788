#pragma once

// What the system sends into the tunnel: the whole IPv4 default route, minus
// excluded routes for everything that must keep using the physical network
// (the nodes and the control server, the physical resolvers, the account's
// local routes, the reserved ranges and the GeoIP table's direct networks),
// with the tunnel's DNS servers answering for every domain.

#include "flowgate/config/records.hpp"
#include "platform/network_settings.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

inline constexpr std::array<const char*, 6> reservedRanges{"10.0.0.0/8",     "172.16.0.0/12",
                                                           "192.168.0.0/16", "169.254.0.0/16",
                                                           "224.0.0.0/4",    "255.255.255.255/32"};
inline constexpr const char* defaultSubnetMask = "255.255.0.0";
inline constexpr const char* hostMask = "255.255.255.255";

// The host of a node's "host:port": split once at the first ":", both pieces
// non-empty.
std::optional<std::string> nodeHost(std::string_view address);

// Throws ProtocolError::invalidAddress when no node has a dotted-quad host.
platform::NetworkSettings makeNetworkSettings(const ExtensionBootstrap& bootstrap,
                                              const std::vector<std::string>& directCIDRs,
                                              const std::vector<std::string>& localResolvers);

// The dotted-quad entries of `servers` as numbers; the others are skipped.
std::vector<std::uint32_t> dottedQuadServers(const std::vector<std::string>& servers);

}  // namespace flowgate
