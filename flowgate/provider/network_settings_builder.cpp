#include "flowgate/provider/network_settings_builder.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "runtime/ipv4.hpp"

#include <optional>
#include <string_view>
#include <unordered_set>

namespace flowgate {

namespace {

namespace ip = runtime::ipv4;

bool overlaps(const ip::Range& a, const ip::Range& b) {
  return a.lower <= b.upper && b.lower <= a.upper;
}

class RouteSet {
 public:
  void add(ip::RouteText route) {
    if (seen_.insert(route.destinationAddress + "/" + route.subnetMask).second) {
      routes_.push_back(std::move(route));
    }
  }
  void addCIDR(std::string_view cidr) {
    if (auto route = ip::route(cidr)) add(std::move(*route));
  }
  std::vector<ip::RouteText> take() { return std::move(routes_); }

 private:
  std::unordered_set<std::string> seen_;
  std::vector<ip::RouteText> routes_;
};

}  // namespace

std::optional<std::string> nodeHost(std::string_view address) {
  auto colon = address.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == address.size()) {
    return std::nullopt;
  }
  return std::string(address.substr(0, colon));
}

platform::NetworkSettings makeNetworkSettings(const ExtensionBootstrap& bootstrap,
                                              const std::vector<std::string>& directCIDRs,
                                              const std::vector<std::string>& localResolvers) {
  const auto& config = bootstrap.config;
  std::vector<std::string> hosts;
  for (const auto& node : config.nodes) {
    if (auto host = nodeHost(node.address)) hosts.push_back(std::move(*host));
  }
  std::optional<std::string> remote;
  for (const auto& host : hosts) {
    if (ip::ipv4Value(host)) {
      remote = host;
      break;
    }
  }
  if (!remote) runtime::fail(ProtocolError::invalidAddress);

  platform::NetworkSettings settings;
  settings.tunnelRemoteAddress = *remote;

  platform::IPv4Settings ipv4;
  ipv4.addresses = {bootstrap.vpnIPv4};
  ipv4.subnetMasks = {ip::mask(config.vpnCidr).value_or(defaultSubnetMask)};
  ipv4.includedRoutes = {ip::RouteText{"0.0.0.0", "0.0.0.0"}};

  RouteSet excluded;
  auto addHost = [&](const std::string& text) {
    if (ip::ipv4Value(text)) excluded.add(ip::RouteText{text, hostMask});
  };
  for (const auto& address : bootstrap.controlIPv4) addHost(address);
  for (const auto& host : hosts) addHost(host);

  // A local range touching the tunnel network would take the tunnel's own
  // addresses out of the tunnel.
  auto vpnRange = ip::cidrRange(config.vpnCidr);
  auto addLocal = [&](std::string_view candidate) {
    if (vpnRange) {
      if (auto range = ip::cidrRange(candidate); range && overlaps(*range, *vpnRange)) return;
    }
    excluded.addCIDR(candidate);
  };
  for (const auto& route : bootstrap.localRoutes) addLocal(route);
  for (const auto& resolver : localResolvers) addLocal(resolver + "/32");
  for (const char* range : reservedRanges) addLocal(range);
  for (const auto& cidr : directCIDRs) excluded.addCIDR(cidr);
  ipv4.excludedRoutes = excluded.take();
  settings.ipv4Settings = std::move(ipv4);

  settings.dnsSettings = platform::DNSSettings{config.dns.servers, {""}, true};
  settings.mtu = static_cast<int>(config.mtu);
  return settings;
}

std::vector<std::uint32_t> dottedQuadServers(const std::vector<std::string>& servers) {
  std::vector<std::uint32_t> addresses;
  for (const auto& server : servers) {
    if (auto value = ip::ipv4Value(server)) addresses.push_back(*value);
  }
  return addresses;
}

}  // namespace flowgate
