// Sending through the pool: shared connection attempts, replacement of closed
// sessions, fallback and cooldown, flow pinning and forced-region submission.

#include "pool_fixture.hpp"
#include "runtime/json_codec.hpp"
#include "tests/support/relay/gated_forwarder.hpp"

#include <gmock/gmock.h>

using namespace pooltest;

namespace {

// A region whose members are tried in member-priority order: node 0, then node 1.
ExtensionConfig withRegion(ExtensionConfig config) {
  config.nodeGroups["DE"] = {{1, 0, 1}, {2, 1, 1}};
  config.defaultNodes = {1};
  return config;
}

}  // namespace

TEST_F(PoolTest, TwoBatchesForANewPathShareOneConnection) {
  startRelays(1);
  auto config = configWith({node(0)});
  config.defaultNodes = {1};
  startPool(config);

  int finished = 0;
  for (std::uint16_t flow : {1, 2}) {
    runtime::spawn(io.get_executor(), [this, flow, &finished]() -> runtime::Task<void> {
      auto sending = pool->submitBatch(echoes(otherHost, 8, flow));
      co_await std::move(sending);
      ++finished;
    });
  }
  ASSERT_TRUE(runUntil([&] { return finished == 2 && received == 16; }));
  EXPECT_EQ(counter(0, "connections"), 1u);
  auto state = snapshot();
  EXPECT_EQ(state.sessionKeys, std::vector<std::string>{key(0)});
  EXPECT_TRUE(state.connectingKeys.empty());
  EXPECT_EQ(state.bindings.size(), 2u);
}

TEST_F(PoolTest, APathStillConnectingHoldsUpNothingElseAndKeepsOnlyItsNewestPackets) {
  startRelays(2);
  GatedForwarder gate(io, relays[1]->port());
  auto config = configWith({node(0), node(1, gate.port())});
  config.defaultNodes = {1};
  config.routes = {{"203.0.113.0/24", {2}}};
  startPool(config);
  auto route = [this](std::vector<OutboundPacket> batch) {
    bool done = false;
    runtime::spawn(pool->strand(), [&, this]() -> runtime::Task<void> {
      auto routing = pool->route(std::move(batch));
      co_await std::move(routing);
      done = true;
    });
    return runUntil([&] { return done; });
  };

  // The held path's batch is taken at once, and another path flows meanwhile.
  ASSERT_TRUE(route(echoes(routedHost, 300)));
  ASSERT_TRUE(runUntil([&] { return gate.accepted() == 1; }));
  ASSERT_TRUE(route(echoes(otherHost, 3)));
  EXPECT_TRUE(runUntil([&] { return received == 3; }));

  // Once open, the path carries what waited: the newest 256 of them.
  gate.release();
  EXPECT_TRUE(runUntil([&] { return received >= 3 + NodeSessionPool::queuePacketLimit; }));
  runFor(std::chrono::milliseconds(300));
  EXPECT_EQ(received, 3 + NodeSessionPool::queuePacketLimit);
  EXPECT_EQ(boundPath(flowOf(echoes(routedHost, 1))), node(1, gate.port()).address);
}

TEST_F(PoolTest, BatchesRoutedWhileAnotherIsBeingSentEachGoOutWhole) {
  startRelays(1);
  auto config = configWith({node(0)});
  config.defaultNodes = {1};
  startPool(config);
  sendAndEcho(echoes(otherHost, 1));

  // Every send suspends, so the three batches are dispatched side by side.
  const auto kept = echoes(otherHost, 40, 2);
  int finished = 0;
  runtime::spawn(pool->strand(), [&, this]() -> runtime::Task<void> {
    auto routing = pool->route(std::span<const OutboundPacket>(kept));
    co_await std::move(routing);
    ++finished;
  });
  for (std::uint16_t flow : {3, 4}) {
    runtime::spawn(pool->strand(), [&, this, flow]() -> runtime::Task<void> {
      auto routing = pool->route(echoes(otherHost, 40, flow));
      co_await std::move(routing);
      ++finished;
    });
  }
  ASSERT_TRUE(runUntil([&] { return finished == 3 && received == 121; }));
  runFor(std::chrono::milliseconds(200));
  EXPECT_EQ(received, 121u);
}

TEST_F(PoolTest, AClosedSessionIsReplacedAndAFailingPathFallsBackAndCoolsDown) {
  startRelays(2);
  startPool(withRegion(configWith({node(0), node(1)})));

  sendAndEcho(echoes(regionalHost, 4));
  auto status = await(pool->status());
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(runtime::json::encodeText(status[0]),
            R"({"path_key":")" + key(0) + R"(","node_ids":[1],"display_name":"relay-a",)" +
                R"("first_hop_host":"127.0.0.1","first_hop_address":")" + key(0) +
                R"(","exit_host":"127.0.0.1","exit_node_id":1})");

  // The relay breaks the stream: the read loop closes the session, which stays
  // registered but is no longer listed.
  relays[0]->command("corrupt");
  ASSERT_TRUE(eventually([&] { return liveKeys().empty(); }));
  EXPECT_EQ(snapshot().sessionKeys, std::vector<std::string>{key(0)});
  sendAndEcho(echoes(regionalHost, 4));
  EXPECT_EQ(counter(0, "connections"), 2u);
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(0)});

  // Now reconnecting fails: the batch falls back to node 1 and node 0 cools down.
  relays[0]->command("refuse on");
  relays[0]->command("corrupt");
  ASSERT_TRUE(eventually([&] { return liveKeys().empty(); }));
  sendAndEcho(echoes(regionalHost, 4));
  EXPECT_EQ(counter(0, "connections"), 3u);
  EXPECT_EQ(counter(1, "authentications"), 1u);
  const double failedAt = clock->uptime();
  EXPECT_EQ(snapshot().unavailableUntil,
            (std::unordered_map<std::string, double>{{key(0), failedAt + 30}}));

  // A new flow does not try node 0 during the cooldown, and does once it ends.
  clock->advance(29.9);
  sendAndEcho(echoes(regionalHost, 2, 7));
  EXPECT_EQ(counter(0, "connections"), 3u);
  clock->advance(0.1);
  sendAndEcho(echoes(regionalHost, 2, 8));
  EXPECT_EQ(counter(0, "connections"), 4u);
  EXPECT_EQ(snapshot().unavailableUntil.at(key(0)), failedAt + 60);
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(1)});
}

TEST_F(PoolTest, AFlowKeepsItsPathWhileRegisteredAndFollowsTheCandidatesAfterwards) {
  startRelays(2);
  startPool(withRegion(configWith({node(0), node(1)})));
  auto pinned = echoes(regionalHost, 3, 1);

  // Node 0 refuses at first: the flow starts on node 1.
  relays[0]->command("refuse on");
  sendAndEcho(pinned);
  EXPECT_EQ(boundPath(flowOf(pinned)), key(1));
  relays[0]->command("refuse off");
  clock->advance(30);

  // Node 0 is preferred again for new flows; the pinned flow stays on node 1.
  auto fresh = echoes(regionalHost, 3, 2);
  sendAndEcho(fresh);
  EXPECT_EQ(boundPath(flowOf(fresh)), key(0));
  auto bytesBefore = counter(1, "bytes_in");
  sendAndEcho(pinned);
  EXPECT_GT(counter(1, "bytes_in"), bytesBefore);
  EXPECT_EQ(boundPath(flowOf(pinned)), key(1));

  // Reaped after 60 idle seconds (node 0 was used since): the flow follows the
  // candidates again, and reaping leaves no cooldown behind.
  clock->advance(40);
  sendAndEcho(fresh);
  clock->advance(20);
  await(pool->reapIdleSessions());
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(0)});
  EXPECT_FALSE(boundPath(flowOf(pinned)));
  EXPECT_TRUE(eventually([&] { return counter(1, "active") == 0; }));
  sendAndEcho(pinned);
  EXPECT_EQ(boundPath(flowOf(pinned)), key(0));
  EXPECT_TRUE(snapshot().unavailableUntil.empty());
}

TEST_F(PoolTest, SegmentsEndingAFlowLeaveNoBinding) {
  startRelays(1);
  auto config = configWith({node(0)});
  config.defaultNodes = {1};
  startPool(config);
  constexpr std::uint8_t syn = 0x02, rst = 0x04, fin = 0x01, ack = 0x10;
  auto opened = packet(tcpSegment(tunnelAddress, 40000, otherHost, 80, syn));
  auto reset = packet(tcpSegment(tunnelAddress, 40001, otherHost, 80, rst | ack));
  auto datagram = packet(udpPacket(tunnelAddress, 5353, otherHost, 53, "query"));
  await(pool->submitBatch({opened, reset, datagram}));
  auto bindings = snapshot().bindings;
  EXPECT_TRUE(bindings.contains(opened.metadata.flowKey));
  EXPECT_TRUE(bindings.contains(datagram.metadata.flowKey));
  EXPECT_FALSE(bindings.contains(reset.metadata.flowKey));

  await(pool->submitBatch({packet(tcpSegment(tunnelAddress, 40000, otherHost, 80, fin | ack))}));
  EXPECT_FALSE(boundPath(opened.metadata.flowKey));
  EXPECT_TRUE(boundPath(datagram.metadata.flowKey));
}

TEST_F(PoolTest, ARelayKilledMidStreamCoolsDownAndTrafficMovesOn) {
  startRelays(2);
  startPool(withRegion(configWith({node(0), node(1)})));
  auto flow = echoes(regionalHost, 4);
  sendAndEcho(flow);
  const std::string first = key(0);
  relays[0]->terminate();
  ASSERT_TRUE(eventually([&] { return snapshot().unavailableUntil.contains(first); }));
  auto state = snapshot();
  EXPECT_EQ(state.unavailableUntil.at(first), clock->uptime() + 30);
  EXPECT_TRUE(state.sessionKeys.empty());
  EXPECT_TRUE(state.bindings.empty());
  sendAndEcho(flow);
  EXPECT_EQ(boundPath(flowOf(flow)), key(1));
}

TEST_F(PoolTest, SubmitThroughAForcedRegion) {
  startRelays(2);
  auto config = withRegion(configWith({node(0), node(1)}));
  config.defaultNodes = {2};
  startPool(config);
  auto query = [](std::uint16_t port) {
    return runtime::SharedBytes(udpPacket(tunnelAddress, port, otherHost, 53, "query"));
  };
  auto errorOf = [&](runtime::SharedBytes bytes, std::string region) -> runtime::ErrorCode {
    try {
      await(pool->submit(std::move(bytes), std::move(region)));
    } catch (const runtime::SystemError& e) {
      return e.code();
    }
    return {};
  };

  EXPECT_EQ(errorOf(query(1000), "DE"), runtime::ErrorCode());
  EXPECT_TRUE(runUntil([&] { return received == 1; }));
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(0)});
  EXPECT_EQ(errorOf(query(1001), "US"), runtime::ErrorCode());  // the default nodes
  EXPECT_THAT(liveKeys(), ::testing::UnorderedElementsAre(key(0), key(1)));
  EXPECT_EQ(errorOf(runtime::SharedBytes::copy("not a packet"), "DE"), ProtocolError::invalidFrame);
  EXPECT_EQ(errorOf(query(1002), "XX"), ProtocolError::invalidAddress);

  relays[1]->command("refuse on");
  relays[1]->command("drop");
  ASSERT_TRUE(eventually([&] { return liveKeys().size() == 1; }));
  // In cooldown the region has no candidate; after it, its one node fails.
  EXPECT_EQ(errorOf(query(1003), "US"), ProtocolError::invalidAddress);
  clock->advance(30);
  EXPECT_EQ(errorOf(query(1004), "US"), ProtocolError::connectionClosed);
}
