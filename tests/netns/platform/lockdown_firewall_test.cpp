// Lockdown's nftables table against a real kernel, in a namespace of the
// test's own: the allowed networks as the kernel holds them (the intervals
// are sent as raw netlink), replaced whole, and the table gone at remove.

#include "platform/nft_lockdown_firewall.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(NftLockdownFirewall, HoldsExactlyTheAllowedNetworksAndGoesAtRemove) {
  if (!namespacesAvailable()) GTEST_SKIP() << "needs root and ip netns";
  Namespace ns("lockdown");
  const auto elements = [&] {
    auto listing = ns.must("nft list set inet veskar_lockdown allowed4");
    auto start = listing.find("elements = {");
    return start == std::string::npos ? std::string() : listing.substr(start);
  };
  ns.run([&] {
    platform::NftLockdownFirewall firewall;
    EXPECT_FALSE(firewall.installed());
    // A range, a single address, one up to the last address.
    firewall.install(
        {"vk0",
         {{0xC0000200u, 0xC000027Fu}, {0xC6336407u, 0xC6336407u}, {0xFF000000u, 0xFFFFFFFFu}}});
    EXPECT_TRUE(firewall.installed());
  });
  EXPECT_EQ(elements(),
            "elements = { 192.0.2.0/25, 198.51.100.7,\n\t\t\t     255.0.0.0/8 }\n\t}\n}\n");
  ns.run([&] {
    platform::NftLockdownFirewall firewall;
    firewall.install({"vk0", {{0xCB007100u, 0xCB0071FFu}}});
  });
  EXPECT_EQ(elements(), "elements = { 203.0.113.0/24 }\n\t}\n}\n");
  ns.run([&] {
    platform::NftLockdownFirewall firewall;
    firewall.remove();
    EXPECT_FALSE(firewall.installed());
    firewall.remove();  // nothing to remove is no failure
  });
}
