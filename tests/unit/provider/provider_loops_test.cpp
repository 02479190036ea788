#include "provider_fixture.hpp"

#include "flowgate/provider/background_loops.hpp"
#include "tests/support/dns/dns_messages.hpp"

using namespace provider_test;
using platform::InterfaceType;
using platform::NetworkInterface;
using platform::NetworkPath;

namespace {

NetworkPath path(std::vector<NetworkInterface> interfaces) {
  return NetworkPath{std::move(interfaces), {}};
}

const NetworkInterface wifi{"wlan0", InterfaceType::wifi, 2};
const NetworkInterface ethernet{"eth0", InterfaceType::wiredEthernet, 3};
const NetworkInterface tunnel{"veskar0", InterfaceType::other, 9};
const NetworkInterface loopback{"lo", InterfaceType::loopback, 1};

}  // namespace

class PathProviderTest : public ProviderTest {
 protected:
  // The reaction starts its sleep as soon as the context runs.
  void publish(const NetworkPath& next) {
    monitor->publish(next);
    settle();
  }
};

TEST(NetworkFingerprint, NamesPhysicalInterfacesInOrder) {
  EXPECT_EQ(networkFingerprint(path({wifi, tunnel, loopback, ethernet})),
            "loopback:lo,wifi:wlan0,wiredEthernet:eth0");
  EXPECT_EQ(networkFingerprint(path({tunnel})), "");
}

TEST_F(PathProviderTest, PathChangesReapplySettingsOncePerSettledChange) {
  resolvers->set({"198.51.100.53"});
  ASSERT_EQ(start(), runtime::ErrorCode());
  auto applied = [&] { return applier->applied().size(); };
  ASSERT_EQ(applied(), 1u);

  // The first path is the one present at start, whatever it holds.
  publish(path({wifi, loopback}));
  advance(2);
  // Another index, or a virtual interface more or less, is the same network.
  publish(path({loopback, {"wlan0", InterfaceType::wifi, 5}, tunnel}));
  advance(2);
  EXPECT_EQ(applied(), 1u);

  // Wi-Fi to Ethernet within a second: the first reaction dies in its sleep.
  resolvers->set({"203.0.113.53"});
  publish(path({ethernet, loopback}));
  advance(0.5);
  publish(path({wifi, ethernet, loopback}));
  advance(0.6);
  EXPECT_EQ(applied(), 1u);
  advance(0.5);
  ASSERT_EQ(applied(), 2u);
  EXPECT_FALSE(provider->reasserting());
  EXPECT_EQ(provider->snapshot().localResolvers, std::vector<std::string>{"203.0.113.53"});
  bool hasNewResolver = false;
  auto latest = applier->applied().back();
  for (const auto& route : latest.ipv4Settings->excludedRoutes) {
    hasNewResolver |= route.destinationAddress == "203.0.113.53";
  }
  EXPECT_TRUE(hasNewResolver);
  advance(5);
  EXPECT_EQ(applied(), 2u);
}

TEST_F(ProviderTest, HeartbeatRunsAtOnceThenEveryFiveMinutes) {
  ASSERT_EQ(start(), runtime::ErrorCode());
  settle();
  EXPECT_EQ(requests("/v1/tunnel/heartbeat"), 1u);
  EXPECT_EQ(requests("/v1/trust-bundle"), 2u);  // start, then the loop's first round
  advance(299);
  EXPECT_EQ(requests("/v1/tunnel/heartbeat"), 1u);
  advance(1);
  EXPECT_EQ(requests("/v1/tunnel/heartbeat"), 2u);
  // A heartbeat without a new bootstrap applies nothing.
  EXPECT_EQ(applier->applied().size(), 1u);
}

TEST_F(ProviderTest, ReauthorizationReappliesTheSettingsWhileReasserting) {
  leaseMismatch = true;
  ASSERT_EQ(start(), runtime::ErrorCode());
  ASSERT_TRUE(runUntil([&] { return applier->applied().size() == 2; }));
  settle();
  EXPECT_EQ(applier->applied().back().ipv4Settings->addresses,
            std::vector<std::string>{"198.19.0.9"});
  EXPECT_EQ(reassertions, (std::vector<bool>{true, false}));
  EXPECT_FALSE(provider->reasserting());
  EXPECT_EQ(await(provider->sessionPool()->currentBootstrap()).deviceCredential, "credential-2");

  // A settings failure is reported to the pool and the flag still clears.
  applier->failWith(asio::error::access_denied);
  advance(Flowgate::heartbeatPeriod);
  EXPECT_EQ(applier->applied().size(), 3u);
  EXPECT_EQ(reassertions, (std::vector<bool>{true, false, true, false}));
}

TEST_F(ProviderTest, GeoIPLoopInstallsOnlyNewVersions) {
  publishGeoIP(1, {"192.0.2.0/25"});
  ASSERT_EQ(start(), runtime::ErrorCode());
  settle();
  advance(Flowgate::geoIPPeriod);
  EXPECT_EQ(requests("/v1/geoip/manifest"), 2u);
  EXPECT_EQ(applier->applied().size(), 1u);

  publishGeoIP(2, {"203.0.113.0/25"});
  advance(Flowgate::geoIPPeriod);
  EXPECT_EQ(provider->snapshot().directCIDRs, std::vector<std::string>{"203.0.113.0/25"});
  ASSERT_EQ(applier->applied().size(), 2u);
  bool hasNewDirect = false;
  auto latest = applier->applied().back();
  for (const auto& route : latest.ipv4Settings->excludedRoutes) {
    hasNewDirect |= route.destinationAddress == "203.0.113.0";
  }
  EXPECT_TRUE(hasNewDirect);
}

TEST_F(PathProviderTest, AfterStopNoLoopMakesAnotherRequest) {
  ASSERT_EQ(start(), runtime::ErrorCode());
  publish(path({wifi}));
  settle();
  auto before = http->requests().size();
  stop();
  publish(path({ethernet}));
  advance(Flowgate::geoIPPeriod * 2);
  EXPECT_EQ(http->requests().size(), before);
  EXPECT_EQ(applier->applied().size(), 1u);
  EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(ProviderTest, DNSQueriesToTheTunnelServerAreAnsweredThroughTheWriter) {
  // The physical resolver answers with a private address: a local answer.
  upstream = [](std::vector<std::uint8_t> message, std::string,
                std::chrono::milliseconds) -> runtime::Task<std::vector<std::uint8_t>> {
    co_return dns_test::response(message, {dns_test::a(dns_test::ip(192, 168, 1, 20))});
  };
  ASSERT_EQ(start(), runtime::ErrorCode());
  auto query = dns_test::query(0x1234, "nas.home.example", dns_test::typeA);
  flow->inject(runtime::SharedBytes(dns_test::udpPacket(
      dns_test::ip(198, 19, 0, 2), dns_test::ip(198, 19, 0, 53), 40000, 53, query)));
  ASSERT_TRUE(runUntil([&] { return !flow->written().empty(); }));
  auto [answer, family] = flow->written().front();
  EXPECT_EQ(family, platform::kFamilyIPv4);
  EXPECT_EQ(answer.span()[12], 198);  // from the tunnel's DNS server
  EXPECT_EQ(answer.span()[15], 53);

  // After stop the writer delivers nothing more.
  stop();
  flow->inject(runtime::SharedBytes(dns_test::udpPacket(
      dns_test::ip(198, 19, 0, 2), dns_test::ip(198, 19, 0, 53), 40001, 53, query)));
  settle();
  EXPECT_EQ(flow->written().size(), 1u);
}

TEST_F(ProviderTest, AppMessages) {
  makeProvider();
  std::vector<std::optional<std::string>> answers;
  auto answer = [&](std::optional<std::string> data) { answers.push_back(std::move(data)); };
  // Before start the answer comes at once.
  provider->handleAppMessage("node-status", answer);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], R"({"nodes":[]})");

  ASSERT_EQ(start(), runtime::ErrorCode());
  auto pool = provider->sessionPool();
  struct Case {
    std::string message;
    bool mode;
  };
  for (const auto& c : std::vector<Case>{{"high-speed:off", false},
                                         {"high-speed:on", true},
                                         {"high-speed:", false},
                                         {"high-speed:on", true},
                                         {"high-speed:ON", false},
                                         {"high-speed:won", true}}) {
    SCOPED_TRACE(c.message);
    answers.clear();
    provider->handleAppMessage(c.message, answer);
    ASSERT_TRUE(runUntil([&] { return !answers.empty(); }));
    EXPECT_EQ(answers[0], std::nullopt);
    EXPECT_EQ(await(pool->snapshot()).highSpeedEnabled, c.mode);
  }
  provider->handleAppMessage("high-speed:off", nullptr);
  settle();
  EXPECT_FALSE(await(pool->snapshot()).highSpeedEnabled);

  // Anything else, invalid UTF-8 and the empty message included, asks for the status.
  for (std::string message : {"", "node-status",
                              "high-speed:\xff"
                              "on"}) {
    answers.clear();
    provider->handleAppMessage(message, answer);
    ASSERT_TRUE(runUntil([&] { return !answers.empty(); }));
    EXPECT_EQ(answers[0], R"({"nodes":[]})");
  }
  EXPECT_FALSE(await(pool->snapshot()).highSpeedEnabled);
}
