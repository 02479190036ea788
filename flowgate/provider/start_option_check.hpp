#pragma once

// What a start may ask of the machine. The tunnel runs as root for every user,
// so whatever its bootstrap names (the interface's address and network, the
// DNS servers every user gets, the size of the tables built from it) is
// checked before anything of the start is applied. Limits, far above any real
// configuration (a few nodes, a handful of routes and regions):
//   nodes 256, routes 4,096, paths 1,024, regions 512 with 256 members each,
//   default nodes 256, nodes per route or path 16, local routes 1,024,
//   control addresses 16, DNS servers and local resolvers 8 each;
//   MTU 576 to 9,000; tunnel network /8 to /30.

#include "flowgate/config/records.hpp"
#include "flowgate/provider/start_options.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace flowgate {

struct StartLimits {
  static constexpr std::size_t nodes = 256;
  static constexpr std::size_t routes = 4096;
  static constexpr std::size_t paths = 1024;
  static constexpr std::size_t nodeGroups = 512;
  static constexpr std::size_t groupMembers = 256;
  static constexpr std::size_t nodesPerList = 16;
  static constexpr std::size_t localRoutes = 1024;
  static constexpr std::size_t controlAddresses = 16;
  static constexpr std::size_t dnsAddresses = 8;
  static constexpr std::int64_t minMTU = 576;
  static constexpr std::int64_t maxMTU = 9000;
  static constexpr unsigned minPrefix = 8;
  static constexpr unsigned maxPrefix = 30;
};

// The bootstrap of the options, when there is one that decodes (the start
// itself reports the options that have none).
std::optional<ExtensionBootstrap> startBootstrap(const StartOptions& options);

// Throws StartOptionError for the first field at fault. `hostAddresses` are
// the machine's own IPv4 addresses, the tunnel's interface left out.
void checkStartBootstrap(const ExtensionBootstrap& bootstrap,
                         std::span<const std::uint32_t> hostAddresses);

}  // namespace flowgate
