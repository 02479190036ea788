// Which interface addresses become local routes.

#include "veskar/control/local_network.hpp"

#include <gtest/gtest.h>

#include <net/if.h>

namespace veskar {
namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

TEST(LocalRoutes, KeepsUpBroadcastInterfacesWithContiguousMasks) {
  const std::vector<InterfaceAddress> interfaces = {
      {"lo", kUp | IFF_LOOPBACK, 0x7F000001, 0xFF000000},
      {"tun0", kUp | IFF_POINTOPOINT, 0xC6130002, 0xFFFF0000},
      {"eth0", kUp, 0xC6336407, 0xFFFFFF00},          // 198.51.100.7/24
      {"eth0", kUp, 0xC6336409, 0xFFFFFF00},          // same network: once
      {"eth1", kUp, 0xCB007109, 0xFFFFFFFF},          // /32
      {"eth2", IFF_RUNNING, 0xC0000205, 0xFFFFFF00},  // down
      {"eth3", kUp, 0xC0000281, 0xFF00FF00},          // non-contiguous mask
      {"eth4", kUp, 0xC0000282, 0},                   // zero mask
      {"eth5", kUp, std::nullopt, 0xFFFFFF00},        // IPv6 or no address
      {"eth6", kUp, 0xC0000283, std::nullopt},        // no netmask
      {"eth7", kUp, 0xC6120001, 0xFFFE0000},          // 198.18.0.1/15
  };
  EXPECT_EQ(localRoutes(interfaces),
            (std::vector<std::string>{"198.18.0.0/15", "198.51.100.0/24", "203.0.113.9/32"}));
}

TEST(LocalRoutes, LoopbackAndPointToPointAloneGiveNothing) {
  const std::vector<InterfaceAddress> interfaces = {
      {"lo", kUp | IFF_LOOPBACK, 0x7F000001, 0xFF000000},
      {"tun0", kUp | IFF_POINTOPOINT, 0xC6130002, 0xFFFFFFFF},
  };
  EXPECT_TRUE(localRoutes(interfaces).empty());
  EXPECT_TRUE(localRoutes({}).empty());
}

TEST(LocalRoutes, TextsSortAsText) {
  const std::vector<InterfaceAddress> interfaces = {
      {"a", kUp, 0xC6336441, 0xFFFFFFC0},  // 198.51.100.64/26
      {"b", kUp, 0xC6336481, 0xFFFFFF80},  // 198.51.100.128/25
      {"c", kUp, 0xC0000209, 0xFFFFFFF8},  // 192.0.2.8/29
  };
  EXPECT_EQ(localRoutes(interfaces),
            (std::vector<std::string>{"192.0.2.8/29", "198.51.100.128/25", "198.51.100.64/26"}));
  EXPECT_EQ(ipv4String(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(ipv4String(0), "0.0.0.0");
}

}  // namespace
}  // namespace veskar
