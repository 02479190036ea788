// The systemd-resolved side of DNS, against a scripted resolved on a private
// bus, in a namespace of the test's own.

#include "platform/linux_settings_applier.hpp"
#include "platform/resolved_dns.hpp"
#include "platform/system_resolvers.hpp"
#include "platform/tun_device.hpp"
#include "tests/netns/platform/fake_resolved.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

#include <net/if.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

using namespace testsupport;
using Servers = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

class ResolvedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!namespacesAvailable()) GTEST_SKIP() << "needs root, /dev/net/tun and ip netns";
    ns = std::make_unique<Namespace>("resolved");
    auto id = std::to_string(::getpid());
    veth = "vkp" + id + "r";
    ns->must("ip link add " + veth + " type veth peer name vkp" + id + "s && ip link set " + veth +
             " up && ip link set vkp" + id + "s up && ip addr add 192.0.2.2/24 dev " + veth +
             " && ip route add default via 192.0.2.1");
    resolved = std::make_unique<FakeResolved>();
  }
  int indexOf(const std::string& name) {
    int index = 0;
    ns->run([&] { index = static_cast<int>(::if_nametoindex(name.c_str())); });
    return index;
  }

  std::unique_ptr<Namespace> ns;
  std::string veth;
  std::unique_ptr<FakeResolved> resolved;
};

TEST_F(ResolvedTest, TheTunnelLinkTakesEveryNameAndIsRevertedAtRemove) {
  ns->run([&] {
    auto device = platform::TunDevice::open("vkpt0");
    auto client = platform::ResolvedClient::connect(resolved->address());
    ASSERT_TRUE(client);
    platform::LinuxSettingsApplier applier(
        "vkpt0", std::make_unique<platform::ResolvedDNS>(std::move(client)));
    platform::NetworkSettings settings;
    settings.ipv4Settings = platform::IPv4Settings{{"198.18.0.2"}, {"255.255.0.0"}, {}, {}};
    settings.dnsSettings = platform::DNSSettings{{"198.18.0.53", "bogus"}, {""}, true};
    applier.applyNow(settings);
    int tun = static_cast<int>(::if_nametoindex("vkpt0"));
    auto links = resolved->links();
    ASSERT_TRUE(links.contains(tun));
    EXPECT_EQ(links[tun].servers, Servers{"198.18.0.53"});
    EXPECT_EQ(links[tun].domains, (std::vector<std::pair<std::string, bool>>{{".", true}}));
    EXPECT_TRUE(links[tun].defaultRoute);

    applier.removeNow();
    EXPECT_FALSE(resolved->links().contains(tun));
    EXPECT_EQ(resolved->reverted(), std::vector<int>{tun});
  });
}

TEST_F(ResolvedTest, SystemResolversPreferTheDefaultRouteLinkThenGlobalThenTheFile) {
  char pattern[] = "/tmp/veskar-resolved-XXXXXX";
  fs::path root = ::mkdtemp(pattern);
  platform::ResolvConfPaths paths{root / "resolv.conf", root / "saved"};
  std::ofstream(paths.file) << "nameserver 127.0.0.53\nnameserver 192.0.2.54\n";
  platform::LinuxSystemResolvers resolvers({paths, resolved->address(), {}});
  auto lookup = [&] {
    Servers found;
    ns->run([&] { found = resolvers.lookupNow({"198.51.100.1"}); });
    return found;
  };
  int link = indexOf(veth);
  resolved->setGlobalServers({"203.0.113.53"});
  resolved->setLinkServers(link, {"2001:db8::1", "192.0.2.53"});
  // Another link's servers (a tunnel's) never count.
  resolved->setLinkServers(link + 100, {"198.18.0.53"});
  EXPECT_EQ(lookup(), Servers{"192.0.2.53"});

  resolved->setLinkServers(link, {"2001:db8::1"});
  EXPECT_EQ(lookup(), Servers{"203.0.113.53"});

  resolved->setGlobalServers({});
  EXPECT_EQ(lookup(), Servers{"192.0.2.54"});
  fs::remove_all(root);
}

}  // namespace
