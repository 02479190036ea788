#include "flowgate/provider/network_settings_builder.hpp"
#include "flowgate/transport/protocol_error.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace flowgate;
using platform::IPv4Route;

namespace {

ExtensionBootstrap bootstrapWith(std::vector<std::string> addresses, std::string vpnCidr) {
  ExtensionBootstrap bootstrap;
  bootstrap.vpnIPv4 = "198.19.0.2";
  bootstrap.config.vpnCidr = std::move(vpnCidr);
  bootstrap.config.mtu = 1400;
  bootstrap.config.dns.servers = {"198.19.0.53", "fd00::53"};
  std::uint64_t id = 1;
  for (auto& address : addresses) {
    ExtensionNode node;
    node.id = id++;
    node.address = std::move(address);
    bootstrap.config.nodes.push_back(node);
  }
  return bootstrap;
}

std::vector<IPv4Route> excluded(const platform::NetworkSettings& settings) {
  auto routes = settings.ipv4Settings->excludedRoutes;
  std::sort(routes.begin(), routes.end(), [](const auto& a, const auto& b) {
    return std::tie(a.destinationAddress, a.subnetMask) <
           std::tie(b.destinationAddress, b.subnetMask);
  });
  return routes;
}

bool has(const std::vector<IPv4Route>& routes, const IPv4Route& route) {
  return std::count(routes.begin(), routes.end(), route) == 1;
}

}  // namespace

TEST(NetworkSettings, RemoteAddressIsTheFirstDottedQuadNodeHost) {
  auto bootstrap =
      bootstrapWith({"relay.example:443", "192.0.2.131:443", "nohost", ":443"}, "198.19.0.0/16");
  bootstrap.controlIPv4 = {"198.51.100.20", "not-an-address"};
  auto settings = makeNetworkSettings(bootstrap, {}, {});
  EXPECT_EQ(settings.tunnelRemoteAddress, "192.0.2.131");
  auto routes = excluded(settings);
  EXPECT_TRUE(has(routes, {"192.0.2.131", "255.255.255.255"}));
  EXPECT_TRUE(has(routes, {"198.51.100.20", "255.255.255.255"}));
  EXPECT_EQ(std::count_if(routes.begin(), routes.end(),
                          [](const auto& r) {
                            return r.subnetMask == "255.255.255.255" &&
                                   r.destinationAddress != "255.255.255.255";
                          }),
            2);

  const auto& ipv4 = *settings.ipv4Settings;
  EXPECT_EQ(ipv4.addresses, std::vector<std::string>{"198.19.0.2"});
  EXPECT_EQ(ipv4.subnetMasks, std::vector<std::string>{"255.255.0.0"});
  EXPECT_EQ(ipv4.includedRoutes, (std::vector<IPv4Route>{{"0.0.0.0", "0.0.0.0"}}));
  // The servers as configured, malformed ones included; every domain is theirs.
  EXPECT_EQ(settings.dnsSettings->servers, (std::vector<std::string>{"198.19.0.53", "fd00::53"}));
  EXPECT_EQ(settings.dnsSettings->matchDomains, std::vector<std::string>{""});
  EXPECT_TRUE(settings.dnsSettings->matchDomainsNoSearch);
  EXPECT_EQ(settings.mtu, 1400);
}

TEST(NetworkSettings, NoDottedQuadNodeIsAnInvalidAddress) {
  auto bootstrap = bootstrapWith({"relay.example:443", "192.0.2.131"}, "198.19.0.0/16");
  try {
    makeNetworkSettings(bootstrap, {}, {});
    FAIL() << "settings were built";
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), ProtocolError::invalidAddress);
    EXPECT_EQ(e.code().message(), "Invalid node address");
  }
}

TEST(NetworkSettings, LocalCandidatesTouchingTheTunnelNetworkStayInTheTunnel) {
  struct Case {
    std::string vpnCidr;
    std::string mask;
    std::vector<std::string> localRoutes;
    std::vector<std::string> resolvers;
    std::vector<IPv4Route> present;
    std::vector<IPv4Route> absent;
  };
  const std::vector<Case> cases = {
      {"10.8.0.0/16",
       "255.255.0.0",
       {},
       {},
       {{"172.16.0.0", "255.240.0.0"}},
       {{"10.0.0.0", "255.0.0.0"}}},
      // Without a readable tunnel network nothing is dropped.
      {"10.8.0.0", "255.255.0.0", {}, {}, {{"10.0.0.0", "255.0.0.0"}}, {}},
      {"198.19.0.0/30",
       "255.255.255.252",
       {"198.19.0.0/24", "203.0.113.0/24", "bogus"},
       {"198.19.0.1", "198.51.100.53", "resolver.example"},
       {{"203.0.113.0", "255.255.255.0"}, {"198.51.100.53", "255.255.255.255"}},
       {{"198.19.0.0", "255.255.255.0"}, {"198.19.0.1", "255.255.255.255"}}},
      // The touching rule counts the boundaries.
      {"192.167.255.255/32", "255.255.255.255", {}, {}, {{"192.168.0.0", "255.255.0.0"}}, {}},
      {"192.168.0.0/32", "255.255.255.255", {}, {}, {}, {{"192.168.0.0", "255.255.0.0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vpnCidr);
    auto bootstrap = bootstrapWith({"192.0.2.131:443"}, c.vpnCidr);
    bootstrap.localRoutes = c.localRoutes;
    auto settings = makeNetworkSettings(bootstrap, {}, c.resolvers);
    EXPECT_EQ(settings.ipv4Settings->subnetMasks, std::vector<std::string>{c.mask});
    auto routes = excluded(settings);
    for (const auto& route : c.present) EXPECT_TRUE(has(routes, route)) << route.destinationAddress;
    for (const auto& route : c.absent) {
      EXPECT_FALSE(has(routes, route)) << route.destinationAddress;
    }
  }
}

TEST(NetworkSettings, DirectNetworksAsWrittenWithoutDuplicates) {
  auto bootstrap = bootstrapWith({"192.0.2.131:443", "192.0.2.131:8443"}, "198.19.0.0/16");
  bootstrap.controlIPv4 = {"192.0.2.131"};
  auto settings = makeNetworkSettings(bootstrap,
                                      {"192.168.0.0/16", "10.1.2.3/8", "1.2.3.4/33", "1.2.3/24",
                                       "1.2.3.4/", "0.0.0.0/0", "203.0.113.0/25", "203.0.113.0/25"},
                                      {});
  auto routes = excluded(settings);
  EXPECT_TRUE(has(routes, {"192.168.0.0", "255.255.0.0"}));
  EXPECT_TRUE(has(routes, {"10.1.2.3", "255.0.0.0"}));
  EXPECT_TRUE(has(routes, {"10.0.0.0", "255.0.0.0"}));
  EXPECT_TRUE(has(routes, {"0.0.0.0", "0.0.0.0"}));
  EXPECT_TRUE(has(routes, {"203.0.113.0", "255.255.255.128"}));
  EXPECT_TRUE(has(routes, {"192.0.2.131", "255.255.255.255"}));
  // Six reserved ranges, one node host, three direct networks beyond them.
  EXPECT_EQ(routes.size(), 6u + 1u + 3u);
}

TEST(NetworkSettings, DNSInterceptionTakesDottedQuadsOnly) {
  EXPECT_EQ(dottedQuadServers({"10.0.0.53", "fd00::53", "1..2.3.4", "256.1.1.1", "dns.example"}),
            (std::vector<std::uint32_t>{0x0a000035, 0x01020304}));
}
