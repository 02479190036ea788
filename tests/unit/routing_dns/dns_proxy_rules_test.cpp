// The DNS proxy's rules that need no resolver: creation, resolver order, what
// counts as local and which region a tunnel answer takes.

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

using namespace flowgate;
using Action = GeoIPTable::Action;

namespace {

GeoIPTable labTable() {
  const geoip::DirectRecord direct[] = {*geoip::DirectRecord::fromCidr("192.0.2.0/25")};
  const GeoIPTable::Route routes[] = {
      {dns_test::ip(203, 0, 113, 0), dns_test::ip(203, 0, 113, 127), RegionCode("AA")},
      {dns_test::ip(203, 0, 113, 128), dns_test::ip(203, 0, 113, 255), RegionCode("BB")}};
  auto file = geoip::encode(9, direct, routes);
  return geoip::decode(file);
}

ExtensionDNSConfig configWith(std::vector<std::string> servers) {
  ExtensionDNSConfig config;
  config.servers = std::move(servers);
  config.defaultRegion = "ZZ";
  config.queryTimeoutMs = 100;
  return config;
}

}  // namespace

TEST(DNSProxyRules, CreationNeedsDistinctDottedQuads) {
  struct Case {
    std::vector<std::string> servers;
    bool created;
  };
  const Case cases[] = {
      {{"198.19.0.53"}, true},
      {{"198.19.0.53", "198.19.0.54"}, true},
      {{"198.19..0.53"}, true},  // empty pieces are dropped
      {{}, false},
      {{"198.19.0.53", "198.19.0.053"}, false},  // one address twice
      {{"198.19.0.53", "resolver.example"}, false},
      {{"198.19.0.256"}, false},
  };
  boost::asio::io_context io;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.servers.empty() ? "none" : c.servers.back());
    auto create = [&] {
      return DNSProxy::create(io.get_executor(), configWith(c.servers), GeoIPTable(), {}, {});
    };
    if (c.created) {
      EXPECT_TRUE(create());
    } else {
      try {
        create();
        ADD_FAILURE() << "created";
      } catch (const runtime::SystemError& e) {
        EXPECT_EQ(e.code(), ProtocolError::invalidAddress);
      }
    }
  }
}

TEST(DNSProxyRules, ResolversAreAskedInRankOrderThenTheDefaultRegion) {
  boost::asio::io_context io;
  std::vector<std::string> asked;
  std::vector<std::string> regions;
  auto proxy = DNSProxy::create(
      io.get_executor(), configWith({"198.19.0.53"}), GeoIPTable(),
      [&](runtime::SharedBytes, PacketMetadata, std::string region) -> runtime::Task<void> {
        regions.push_back(region);
        co_return;
      },
      [](runtime::SharedBytes) {},
      // Records the order only: nothing is sent anywhere.
      [&](std::vector<std::uint8_t>, std::string resolver,
          std::chrono::milliseconds) -> runtime::Task<std::vector<std::uint8_t>> {
        asked.push_back(resolver);
        throw runtime::SystemError(ProtocolError::connectionTimedOut);
        co_return std::vector<std::uint8_t>{};
      });
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    std::vector<std::string> resolvers{"8.8.8.8", "223.5.5.5", "198.51.100.9", "119.29.29.29"};
    co_await proxy->setLocalResolvers(resolvers);
    auto query = dns_test::query(3, "a.example", dns_test::typeA);
    auto packet = runtime::SharedBytes(dns_test::udpPacket(
        dns_test::ip(198, 19, 0, 2), dns_test::ip(198, 19, 0, 53), 40000, 53, query));
    co_await proxy->process(packet);
  });
  io.run();
  EXPECT_EQ(asked,
            (std::vector<std::string>{"119.29.29.29", "223.5.5.5", "8.8.8.8", "198.51.100.9"}));
  EXPECT_EQ(regions, std::vector<std::string>{"ZZ"});
}

TEST(DNSProxyRules, LocalAddresses) {
  const auto table = labTable();
  struct Case {
    std::uint32_t address;
    bool local;
    bool localWithoutTable;
  };
  using dns_test::ip;
  const Case cases[] = {
      {ip(10, 1, 2, 3), true, true},      {ip(172, 31, 255, 255), true, true},
      {ip(172, 32, 0, 0), false, false},  {ip(169, 254, 9, 9), true, true},
      {ip(192, 168, 1, 10), true, true},  {ip(127, 0, 0, 1), true, true},
      {ip(192, 0, 2, 127), true, false},  {ip(192, 0, 2, 128), false, false},
      {ip(203, 0, 113, 5), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(DNSProxy::isLocal(c.address, table), c.local);
    EXPECT_EQ(DNSProxy::isLocal(c.address, GeoIPTable()), c.localWithoutTable);
  }
}

TEST(DNSProxyRules, SelectRegionTakesTheMostCommonRegion) {
  const auto aa = Action::region(RegionCode("AA"));
  const auto bb = Action::region(RegionCode("BB"));
  const auto cc = Action::region(RegionCode("cc"));
  const auto direct = Action::direct();
  using Actions = std::vector<std::optional<Action>>;
  struct Case {
    Actions actions;
    const char* region;
  };
  const Case cases[] = {
      {{}, "ZZ"},
      {{std::nullopt, direct}, "ZZ"},
      {{aa, aa, aa, bb, bb}, "AA"},
      {{bb, aa, bb, direct, direct, direct, aa, bb}, "BB"},
      {{std::nullopt, cc}, "cc"},  // case kept as in the table
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DNSProxy::selectRegion(c.actions, "ZZ"), c.region);
  }
}
