#include "flowgate/provider/start_option_check.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/errors/start_option_error.hpp"
#include "flowgate/provider/network_settings_builder.hpp"
#include "runtime/ipv4.hpp"
#include "runtime/json_codec.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

namespace flowgate {

namespace {

namespace ip = runtime::ipv4;
using enum StartOptionError;

bool within(std::uint32_t address, const ip::Range& range) {
  return range.lower <= address && address <= range.upper;
}

// "This network", loopback, link-local, multicast and the reserved block up
// to the limited broadcast.
bool unicast(std::uint32_t address) {
  for (const char* reserved : {"0.0.0.0/8", "127.0.0.0/8", "169.254.0.0/16", "224.0.0.0/3"}) {
    if (within(address, *ip::cidrRange(reserved))) return false;
  }
  return true;
}

void checkCount(std::size_t count, std::size_t limit, StartOptionError error) {
  if (count > limit) runtime::fail(error);
}

void checkUnicastList(const std::vector<std::string>& entries, StartOptionError error) {
  for (const auto& entry : entries) {
    auto value = ip::ipv4Value(entry);
    if (!value || !unicast(*value)) runtime::fail(error);
  }
}

void checkSizes(const ExtensionBootstrap& bootstrap) {
  const auto& config = bootstrap.config;
  checkCount(config.nodes.size(), StartLimits::nodes, tooManyNodes);
  checkCount(config.defaultNodes.size(), StartLimits::nodes, tooManyNodes);
  checkCount(config.routes.size(), StartLimits::routes, tooManyRoutes);
  for (const auto& route : config.routes)
    checkCount(route.nodes.size(), StartLimits::nodesPerList, tooManyNodes);
  if (config.paths) {
    checkCount(config.paths->size(), StartLimits::paths, tooManyPaths);
    for (const auto& path : *config.paths)
      checkCount(path.nodes.size(), StartLimits::nodesPerList, tooManyNodes);
  }
  checkCount(config.nodeGroups.size(), StartLimits::nodeGroups, tooManyNodeGroups);
  for (const auto& [region, members] : config.nodeGroups)
    checkCount(members.size(), StartLimits::groupMembers, tooManyNodeGroups);
  checkCount(bootstrap.localRoutes.size(), StartLimits::localRoutes, tooManyNetworks);
  checkCount(bootstrap.controlIPv4.size(), StartLimits::controlAddresses, tooManyAddresses);
  checkCount(config.dns.servers.size(), StartLimits::dnsAddresses, tooManyAddresses);
  checkCount(config.dns.localResolvers.size(), StartLimits::dnsAddresses, tooManyAddresses);
}

}  // namespace

std::optional<ExtensionBootstrap> startBootstrap(const StartOptions& options) {
  auto found = options.find(bootstrapOption);
  if (found == options.end()) return std::nullopt;
  const auto* data = std::get_if<OptionData>(&found->second);
  if (!data) return std::nullopt;
  try {
    return runtime::json::decodeText<ExtensionBootstrap>(data->bytes, bootstrapForm);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void checkStartBootstrap(const ExtensionBootstrap& bootstrap,
                         std::span<const std::uint32_t> hostAddresses) {
  const auto& config = bootstrap.config;
  // Sizes first: everything after walks the lists.
  checkSizes(bootstrap);
  if (config.mtu < StartLimits::minMTU || config.mtu > StartLimits::maxMTU)
    runtime::fail(mtuOutOfRange);

  auto network = ip::cidrRange(config.vpnCidr);
  if (!network) runtime::fail(vpnNetworkInvalid);
  auto prefixLength = 32 - static_cast<unsigned>(std::bit_width(network->upper - network->lower));
  if (prefixLength < StartLimits::minPrefix || prefixLength > StartLimits::maxPrefix)
    runtime::fail(vpnPrefixOutOfRange);

  for (const auto& address : bootstrap.controlIPv4) {
    auto value = ip::ipv4Value(address);
    if (!value) runtime::fail(controlAddressInvalid);
    if (within(*value, *network)) runtime::fail(vpnNetworkCoversControl);
  }
  for (const auto& node : config.nodes) {
    auto host = nodeHost(node.address);
    auto value = host ? ip::ipv4Value(*host) : std::nullopt;
    if (value && within(*value, *network)) runtime::fail(vpnNetworkCoversNode);
  }

  auto address = ip::ipv4Value(bootstrap.vpnIPv4);
  if (!address) runtime::fail(vpnAddressInvalid);
  if (!unicast(*address)) runtime::fail(vpnAddressReserved);
  // The network's own address and its broadcast address name no host.
  if (!within(*address, *network) || *address == network->lower || *address == network->upper)
    runtime::fail(vpnAddressOutsideNetwork);
  if (std::ranges::find(hostAddresses, *address) != hostAddresses.end())
    runtime::fail(vpnAddressInUse);

  checkUnicastList(config.dns.servers, dnsServerInvalid);
  checkUnicastList(config.dns.localResolvers, localResolverInvalid);
}

}  // namespace flowgate
