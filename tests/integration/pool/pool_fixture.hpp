#pragma once

// The node session pool against real relay processes on loopback. Time, as the
// pool sees it, is a manual clock the tests move; the io_context runs on the
// test's thread until what a test waits for has happened.

#include "flowgate/control/heartbeat_source.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/transport/node_session_pool.hpp"
#include "runtime/clock.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/relay/io_runner.hpp"
#include "tests/support/relay/lab.hpp"
#include "tests/support/relay/relay_process.hpp"
#include "tests/support/relay/test_packets.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

namespace pooltest {

using namespace testsupport;
using namespace flowgate;

constexpr std::uint64_t deviceID = 0x0a0b0c0d;
constexpr const char* tunnelText = "198.19.0.9";
constexpr std::uint32_t tunnelAddress = ipv4(198, 19, 0, 9);
constexpr std::uint32_t routedHost = ipv4(203, 0, 113, 10);     // routes of a test, if any
constexpr std::uint32_t regionalHost = ipv4(198, 51, 100, 10);  // region "DE"
constexpr std::uint32_t otherHost = ipv4(192, 0, 2, 10);        // default nodes

// Heartbeats answer from a script: no new bootstrap once it runs out.
class ScriptedHeartbeat final : public HeartbeatSource {
 public:
  runtime::Task<std::optional<ExtensionBootstrap>> heartbeat(ExtensionBootstrap current) override {
    asked.push_back(std::move(current));
    if (replies.empty()) co_return std::nullopt;
    auto reply = std::move(replies.front());
    replies.pop_front();
    co_return reply;
  }
  std::deque<std::optional<ExtensionBootstrap>> replies;
  std::vector<ExtensionBootstrap> asked;
};

class PoolTest : public ::testing::Test, protected IoRunner {
 protected:
  static void SetUpTestSuite() { lab = std::make_unique<Lab>(4); }
  static void TearDownTestSuite() { lab.reset(); }

  void TearDown() override {
    if (pool) await(pool->close());
  }

  // Relays for nodes 0..count-1, all echo exits.
  void startRelays(int count) {
    for (int i = 0; i < count; ++i) {
      relays.push_back(std::make_unique<RelayProcess>(lab->relayArguments(i)));
    }
  }

  // Node `index` (id index + 1) at its relay, or at `port` when given.
  ExtensionNode node(int index, std::optional<std::uint16_t> port = std::nullopt) const {
    auto at = port ? *port : relays.at(index)->port();
    return ExtensionNode{static_cast<std::uint64_t>(index + 1), lab->nodeName(index),
                         "127.0.0.1:" + std::to_string(at), std::nullopt, 0};
  }
  std::string key(int index) const { return node(index).address; }

  ExtensionConfig configWith(std::vector<ExtensionNode> nodes) const {
    ExtensionConfig config;
    config.mtu = 1400;
    config.vpnCidr = "198.19.0.0/16";
    config.nodes = std::move(nodes);
    config.dns.servers = {"198.19.0.1"};
    config.dns.defaultRegion = "US";
    return config;
  }

  ExtensionBootstrap bootstrapWith(ExtensionConfig config) const {
    ExtensionBootstrap bootstrap;
    bootstrap.deviceID = deviceID;
    bootstrap.deviceCredential = lab->credential(deviceID, tunnelText);
    bootstrap.vpnIPv4 = tunnelText;
    bootstrap.config = std::move(config);
    return bootstrap;
  }

  static GeoIPTable regions() {
    return GeoIPTable(1, {}, {{ipv4(198, 51, 100, 0), ipv4(198, 51, 100, 255), RegionCode("DE")}},
                      {});
  }

  void startPool(ExtensionConfig config) {
    NodeSessionPool::Options options;
    options.clock = clock;
    pool = NodeSessionPool::create(
        io.get_executor(), bootstrapWith(std::move(config)), false, lab->trustBundle(), regions(),
        heartbeats, [this](Session::Packets packets) { received += packets.size(); },
        [this](ExtensionBootstrap next) -> runtime::Task<void> {
          configured.push_back(std::move(next));
          if (configurationFails) throw std::runtime_error("settings refused");
          co_return;
        },
        options);
  }

  // `count` echo requests of one ICMP flow (its identifier) towards `destination`.
  static std::vector<OutboundPacket> echoes(std::uint32_t destination, std::size_t count,
                                            std::uint16_t flow = 1) {
    std::vector<OutboundPacket> batch;
    for (std::size_t i = 0; i < count; ++i)
      batch.push_back(packet(icmpEchoRequest(tunnelAddress, destination, flow,
                                             static_cast<std::uint16_t>(i), "pool")));
    return batch;
  }
  static OutboundPacket packet(Bytes bytes) {
    auto metadata = *PacketMetadata::parse(bytes);
    return OutboundPacket{runtime::SharedBytes(std::move(bytes)), metadata};
  }
  static PacketFlowKey flowOf(const std::vector<OutboundPacket>& batch) {
    return batch.front().metadata.flowKey;
  }

  // Sends the batch and waits for its echoes.
  void sendAndEcho(std::vector<OutboundPacket> batch) {
    auto expected = received + batch.size();
    await(pool->submitBatch(std::move(batch)));
    EXPECT_TRUE(runUntil([&] { return received >= expected; })) << received << "/" << expected;
  }

  NodeSessionPool::Snapshot snapshot() { return await(pool->snapshot()); }
  std::optional<std::string> boundPath(const PacketFlowKey& flow) {
    auto state = snapshot();
    auto found = state.bindings.find(flow);
    if (found == state.bindings.end()) return std::nullopt;
    return found->second.pathKey;
  }
  std::vector<std::string> liveKeys() {
    std::vector<std::string> keys;
    for (const auto& status : await(pool->status())) keys.push_back(status.pathKey);
    std::sort(keys.begin(), keys.end());
    return keys;
  }

  // Polls `done` (which may await on the pool) while the io_context runs.
  bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 250; ++i) {
      if (done()) return true;
      runFor(std::chrono::milliseconds(20));
    }
    return done();
  }

  std::uint64_t counter(int index, const std::string& name) const {
    return relays.at(index)->counter(name);
  }

  static inline std::unique_ptr<Lab> lab;
  std::vector<std::unique_ptr<RelayProcess>> relays;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<ScriptedHeartbeat> heartbeats = std::make_shared<ScriptedHeartbeat>();
  std::vector<ExtensionBootstrap> configured;
  bool configurationFails = false;
  std::size_t received = 0;
  std::shared_ptr<NodeSessionPool> pool;
};

}  // namespace pooltest
