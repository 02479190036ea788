// The DNS proxy with real resolvers on loopback: dnsmasq for real answers and a
// scripted resolver for replies dnsmasq never sends. The tunnel and the
// interface writer are recording callbacks.

#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/routing/dns_packet.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/dns/dns_messages.hpp"
#include "tests/support/dns/dnsmasq_process.hpp"
#include "tests/support/dns/scripted_resolver.hpp"

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <map>

using namespace flowgate;
using dns_test::Bytes;
using dns_test::ip;

namespace {

const std::uint32_t client = ip(198, 19, 0, 2);
const std::uint32_t server = ip(198, 19, 0, 53);
constexpr std::uint16_t clientPort = 40123;

GeoIPTable labTable() {
  const geoip::DirectRecord direct[] = {*geoip::DirectRecord::fromCidr("192.0.2.0/25")};
  const GeoIPTable::Route routes[] = {
      {ip(203, 0, 113, 0), ip(203, 0, 113, 127), RegionCode("AA")},
      {ip(203, 0, 113, 128), ip(203, 0, 113, 255), RegionCode("BB")}};
  auto file = geoip::encode(1, direct, routes);
  return geoip::decode(file);
}

Bytes queryPacket(std::string_view name, std::uint16_t type = dns_test::typeA,
                  std::uint16_t id = 0x5a5a) {
  return dns_test::udpPacket(client, server, clientPort, 53, dns_test::query(id, name, type));
}

class DNSProxyAgainstResolvers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dnsmasq = new dns_test::DnsmasqProcess({
        {"nas.test.example", "192.168.1.10"},
        {"direct.test.example", "192.0.2.10"},
        {"home.test.example", "192.168.1.10"},
        {"home.test.example", "192.0.2.20"},
        {"mixed.test.example", "192.168.1.10"},
        {"mixed.test.example", "203.0.113.5"},
        {"uncovered.test.example", "192.168.1.10"},
        {"uncovered.test.example", "198.51.100.7"},
        {"multi.test.example", "203.0.113.200"},
        {"multi.test.example", "203.0.113.1"},
        {"multi.test.example", "203.0.113.201"},
        {"multi.test.example", "203.0.113.2"},
        {"multi.test.example", "203.0.113.3"},
    });
  }
  static void TearDownTestSuite() { delete dnsmasq; }

  // Resolvers are named by loopback addresses; each name maps to a port on
  // 127.0.0.1, so every query of these tests stays on loopback.
  void SetUp() override {
    ports["127.0.0.2"] = dnsmasq->port();
    ports["127.0.0.3"] = silent.port();
    ports["127.0.0.4"] = dns_test::freeUDPPort();  // nobody listens
  }

  std::shared_ptr<DNSProxy> makeProxy(std::vector<std::string> resolvers,
                                      std::int64_t timeoutMs = 1000) {
    ExtensionDNSConfig config;
    config.servers = {"198.19.0.53", "198.19.0.54"};
    config.localResolvers = std::move(resolvers);
    config.defaultRegion = "ZZ";
    config.queryTimeoutMs = timeoutMs;
    return DNSProxy::create(
        io.get_executor(), config, labTable(),
        [this](runtime::SharedBytes packet, PacketMetadata,
               std::string region) -> runtime::Task<void> {
          tunneled.emplace_back(packet, region);
          if (tunnelFails) throw runtime::SystemError(ProtocolError::connectionClosed);
          co_return;
        },
        [this](runtime::SharedBytes packet) {
          delivered.emplace_back(packet.begin(), packet.end());
        },
        [this](std::vector<std::uint8_t> message, std::string resolver,
               std::chrono::milliseconds timeout) {
          return DNSProxy::queryUDP(std::move(message), "127.0.0.1", timeout, ports.at(resolver));
        });
  }

  void process(DNSProxy& proxy, const Bytes& packet) {
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      co_await proxy.process(runtime::SharedBytes::copy(packet));
    });
    io.restart();
    io.run();
  }

  // The DNS message of a delivered reply, after checking it is addressed back
  // to the client from the server it asked, with correct checksums.
  Bytes replyPayload(const Bytes& packet, std::uint32_t from = server) {
    EXPECT_TRUE(dns_test::checksumsValid(packet));
    auto datagram = dns::udp(packet);
    EXPECT_TRUE(datagram);
    if (!datagram) return {};
    EXPECT_EQ(datagram->sourceIP, from);
    EXPECT_EQ(datagram->destinationIP, client);
    EXPECT_EQ(datagram->sourcePort, 53);
    EXPECT_EQ(datagram->destinationPort, clientPort);
    return {datagram->payload.begin(), datagram->payload.end()};
  }

  static dns_test::DnsmasqProcess* dnsmasq;
  dns_test::ScriptedResolver silent{[](const Bytes&) { return std::nullopt; }};
  std::map<std::string, std::uint16_t> ports;
  boost::asio::io_context io;
  std::vector<Bytes> delivered;
  std::vector<std::pair<runtime::SharedBytes, std::string>> tunneled;
  bool tunnelFails = false;
};

dns_test::DnsmasqProcess* DNSProxyAgainstResolvers::dnsmasq = nullptr;

}  // namespace

TEST_F(DNSProxyAgainstResolvers, OtherTypesGetAnEmptyAnswerWithoutAskingUpstream) {
  auto proxy = makeProxy({"127.0.0.3"});
  auto pointerQuestion = dns_test::query(7, "x", 1);
  pointerQuestion.resize(12);
  pointerQuestion.insert(pointerQuestion.end(), {0xc0, 0x0c, 0, 1, 0, 1});
  const std::pair<const char*, Bytes> cases[] = {
      {"AAAA", dns_test::query(0x1234, "nas.test.example", dns_test::typeAAAA)},
      {"MX", dns_test::query(0x1234, "nas.test.example", 15)},
      {"unreadable question", pointerQuestion},
  };
  for (const auto& [what, query] : cases) {
    SCOPED_TRACE(what);
    delivered.clear();
    // To the second server address: the reply comes from the one asked.
    process(*proxy, dns_test::udpPacket(client, ip(198, 19, 0, 54), clientPort, 53, query));
    ASSERT_EQ(delivered.size(), 1u);
    auto answer = replyPayload(delivered[0], ip(198, 19, 0, 54));
    Bytes expected = query;
    expected[2] = 0x81;
    expected[3] = 0x80;
    EXPECT_EQ(answer, expected);
  }
  EXPECT_EQ(silent.received(), 0);
  EXPECT_TRUE(tunneled.empty());
}

TEST_F(DNSProxyAgainstResolvers, ForeignAndMalformedPacketsAreDropped) {
  auto proxy = makeProxy({"127.0.0.3"});
  auto query = dns_test::query(1, "nas.test.example", dns_test::typeA);
  auto response = query;
  response[2] |= 0x80;
  auto truncated = queryPacket("nas.test.example");
  truncated.resize(truncated.size() - 1);
  auto tcp = queryPacket("nas.test.example");
  tcp[9] = 6;
  const std::pair<const char*, Bytes> cases[] = {
      {"port 5353", dns_test::udpPacket(client, server, clientPort, 5353, query)},
      {"another address", dns_test::udpPacket(client, ip(198, 19, 0, 55), clientPort, 53, query)},
      {"a response", dns_test::udpPacket(client, server, clientPort, 53, response)},
      {"11-byte payload", dns_test::udpPacket(client, server, clientPort, 53, Bytes(11, 0))},
      {"UDP length past the end", truncated},
      {"TCP", tcp},
      {"empty", {}},
  };
  for (const auto& [what, packet] : cases) {
    SCOPED_TRACE(what);
    process(*proxy, packet);
  }
  EXPECT_TRUE(delivered.empty());
  EXPECT_TRUE(tunneled.empty());
  EXPECT_EQ(silent.received(), 0);
}

TEST_F(DNSProxyAgainstResolvers, LocalAnswersAreWrittenBackAsTheResolverSentThem) {
  auto proxy = makeProxy({"127.0.0.2"});
  for (const char* name : {"nas.test.example", "direct.test.example", "home.test.example"}) {
    SCOPED_TRACE(name);
    delivered.clear();
    process(*proxy, queryPacket(name));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(replyPayload(delivered[0]),
              dns_test::ask(dnsmasq->port(), dns_test::query(0x5a5a, name, dns_test::typeA)));
  }
  EXPECT_TRUE(tunneled.empty());
}

TEST_F(DNSProxyAgainstResolvers, OtherAnswersGoToTheTunnelForTheRegionOfMostAddresses) {
  auto proxy = makeProxy({"127.0.0.2"});
  const std::pair<const char*, const char*> cases[] = {
      {"mixed.test.example", "AA"},      // private + AA
      {"uncovered.test.example", "ZZ"},  // private + no range: default
      {"multi.test.example", "AA"},      // 3 AA, 2 BB
      {"unknown.test.example", "ZZ"},    // NXDOMAIN
  };
  for (const auto& [name, region] : cases) {
    SCOPED_TRACE(name);
    tunneled.clear();
    const auto packet = queryPacket(name);
    process(*proxy, packet);
    ASSERT_EQ(tunneled.size(), 1u);
    EXPECT_EQ(Bytes(tunneled[0].first.begin(), tunneled[0].first.end()), packet);
    EXPECT_EQ(tunneled[0].second, region);
  }
  EXPECT_TRUE(delivered.empty());
}

TEST_F(DNSProxyAgainstResolvers, ASilentResolverCostsTheTimeoutBeforeTheNextIsAsked) {
  auto proxy = makeProxy({"127.0.0.3", "127.0.0.2"}, 200);
  const auto start = std::chrono::steady_clock::now();
  process(*proxy, queryPacket("nas.test.example"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(silent.received(), 1);
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(DNSProxyAgainstResolvers, UnusableRepliesMoveOnToTheNextResolver) {
  using Script = dns_test::ScriptedResolver::Script;
  auto reply = [](auto change) -> Script {
    return [change](const Bytes& query) -> std::optional<Bytes> {
      auto answer = dns_test::response(query, {dns_test::a(ip(203, 0, 113, 9))});
      change(answer);
      return answer;
    };
  };
  struct Case {
    const char* what;
    Script script;
    bool answeredByNext;
  };
  const Case cases[] = {
      {"another id", reply([](Bytes& m) { m[1] ^= 1; }), true},
      {"QR clear", reply([](Bytes& m) { m[2] &= 0x7f; }), true},
      {"11 bytes", reply([](Bytes& m) { m.resize(11); }), true},
      {"empty datagram", reply([](Bytes& m) { m.clear(); }), true},
      // Accepted, but no address survives: the tunnel with the default region.
      {"record cut short", reply([](Bytes& m) { m.pop_back(); }), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dns_test::ScriptedResolver scripted(c.script);
    ports["127.0.0.5"] = scripted.port();
    auto proxy = makeProxy({"127.0.0.5", "127.0.0.2"});
    delivered.clear();
    tunneled.clear();
    process(*proxy, queryPacket("nas.test.example"));
    EXPECT_EQ(scripted.received(), 1);
    if (c.answeredByNext) {
      ASSERT_EQ(delivered.size(), 1u);
      EXPECT_EQ(dns::answers(replyPayload(delivered[0])),
                std::vector<std::uint32_t>{ip(192, 168, 1, 10)});
      EXPECT_TRUE(tunneled.empty());
    } else {
      EXPECT_TRUE(delivered.empty());
      ASSERT_EQ(tunneled.size(), 1u);
      EXPECT_EQ(tunneled[0].second, "ZZ");
    }
  }
}

TEST_F(DNSProxyAgainstResolvers, AFailedTunnelSendTriesTheNextResolverThenGivesUp) {
  tunnelFails = true;
  auto proxy = makeProxy({"127.0.0.2", "127.0.0.4", "127.0.0.2"});
  process(*proxy, queryPacket("mixed.test.example"));
  std::vector<std::string> regions;
  for (const auto& [packet, region] : tunneled) regions.push_back(region);
  // The refused resolver in between is skipped at once.
  EXPECT_EQ(regions, (std::vector<std::string>{"AA", "AA", "ZZ"}));
  EXPECT_TRUE(delivered.empty());
}

TEST_F(DNSProxyAgainstResolvers, QueryUDPEndsWithExactlyOneOutcome) {
  dns_test::ScriptedResolver empty([](const Bytes&) { return Bytes{}; });
  const auto query = dns_test::query(9, "nas.test.example", dns_test::typeA);
  struct Case {
    const char* what;
    std::string resolver;
    std::uint16_t port;
    std::optional<runtime::ErrorCode> failure;
  };
  const Case cases[] = {
      {"answer", "127.0.0.1", dnsmasq->port(), std::nullopt},
      {"refused", "127.0.0.1", ports.at("127.0.0.4"), boost::asio::error::connection_refused},
      {"silence", "127.0.0.1", silent.port(), ProtocolError::connectionTimedOut},
      {"empty datagram", "127.0.0.1", empty.port(), ProtocolError::connectionTimedOut},
      {"not an address", "resolver.test.example", 53, ProtocolError::invalidAddress},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<Bytes> answer;
    std::optional<runtime::ErrorCode> failure;
    int outcomes = 0;
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        answer =
            co_await DNSProxy::queryUDP(query, c.resolver, std::chrono::milliseconds(100), c.port);
      } catch (const runtime::SystemError& e) {
        failure = e.code();
      }
      ++outcomes;
    });
    io.restart();
    io.run();
    EXPECT_EQ(outcomes, 1);
    EXPECT_EQ(failure, c.failure);
    if (!c.failure) {
      ASSERT_TRUE(answer);
      EXPECT_EQ(*answer, dns_test::ask(dnsmasq->port(), query));
    }
  }
}

TEST_F(DNSProxyAgainstResolvers, BeyondTheQueriesInFlightAQueryGetsAServerFailureAtOnce) {
  auto proxy = makeProxy({"127.0.0.3"}, 300);
  auto spawnQuery = [&](std::uint16_t id) {
    runtime::spawn(io.get_executor(), [&, id]() -> runtime::Task<void> {
      co_await proxy->process(
          runtime::SharedBytes(queryPacket("nas.test.example", dns_test::typeA, id)));
    });
  };
  for (std::uint16_t id = 0; id <= DNSProxy::maxQueriesInFlight; ++id) spawnQuery(id);
  io.run_for(std::chrono::milliseconds(150));
  ASSERT_EQ(delivered.size(), 1u);
  const auto failure = replyPayload(delivered[0]);
  ASSERT_GE(failure.size(), 4u);
  EXPECT_EQ(failure[1], DNSProxy::maxQueriesInFlight & 0xff);  // the last one asked
  EXPECT_EQ(failure[3], 0x82);
  EXPECT_EQ(silent.received(), static_cast<int>(DNSProxy::maxQueriesInFlight));

  // Once they have timed out, a query is asked upstream again.
  io.run();
  EXPECT_EQ(tunneled.size(), DNSProxy::maxQueriesInFlight);
  spawnQuery(9);
  io.restart();
  io.run();
  EXPECT_EQ(silent.received(), static_cast<int>(DNSProxy::maxQueriesInFlight) + 1);
}
