// Teardowns (high-speed switch, network change) and re-authorization through
// heartbeats.

#include "pool_fixture.hpp"
#include "tests/support/relay/gated_forwarder.hpp"

using namespace pooltest;

TEST_F(PoolTest, TeardownsCloseSessionsAndDiscardALateConnection) {
  startRelays(3);
  // Node 2 is reached through a forwarder that holds its connections.
  GatedForwarder gate(io, relays[2]->port());
  auto held = node(2, gate.port());
  auto config = configWith({node(0), node(1), held});
  config.defaultNodes = {1};
  config.routes = {{"198.51.100.0/24", {2}}, {"203.0.113.0/24", {3}}};
  startPool(config);

  sendAndEcho(echoes(otherHost, 2));
  relays[1]->command("refuse on");
  await(pool->submitBatch(echoes(regionalHost, 2)));  // its only path fails: dropped
  ASSERT_TRUE(snapshot().unavailableUntil.contains(key(1)));

  bool lateDone = false;
  runtime::spawn(io.get_executor(), [this, &lateDone]() -> runtime::Task<void> {
    auto sending = pool->submitBatch(echoes(routedHost, 2));
    co_await std::move(sending);
    lateDone = true;
  });
  ASSERT_TRUE(runUntil([&] { return gate.accepted() == 1; }));
  EXPECT_EQ(snapshot().connectingKeys, std::vector<std::string>{held.address});

  await(pool->updateHighSpeed(true));
  auto state = snapshot();
  EXPECT_TRUE(state.sessionKeys.empty());
  EXPECT_TRUE(state.connectingKeys.empty());
  EXPECT_TRUE(state.highSpeedEnabled);
  EXPECT_EQ(state.networkGeneration, 1u);
  EXPECT_TRUE(state.unavailableUntil.contains(key(1)));  // cooldowns survive the switch
  EXPECT_TRUE(eventually([&] { return counter(0, "active") == 0; }));

  // The held connection completes after the switch: closed, and its waiter
  // counts it as a failure of the path.
  gate.release();
  ASSERT_TRUE(runUntil([&] { return lateDone; }));
  state = snapshot();
  EXPECT_TRUE(state.sessionKeys.empty());
  EXPECT_TRUE(state.unavailableUntil.contains(held.address));
  EXPECT_EQ(counter(2, "authentications"), 1u);
  EXPECT_TRUE(eventually([&] { return counter(2, "active") == 0; }));

  await(pool->updateHighSpeed(true));  // unchanged: nothing happens
  EXPECT_EQ(snapshot().networkGeneration, 1u);

  sendAndEcho(echoes(otherHost, 2));
  await(pool->networkPathDidChange());
  state = snapshot();
  EXPECT_EQ(state.networkGeneration, 2u);
  EXPECT_TRUE(state.unavailableUntil.empty());
  EXPECT_TRUE(state.sessionKeys.empty());
  EXPECT_TRUE(state.bindings.empty());
  EXPECT_TRUE(eventually([&] { return counter(0, "active") == 0; }));

  // Closing keeps cooldowns, like the switch.
  await(pool->submitBatch(echoes(regionalHost, 2)));
  await(pool->close());
  EXPECT_TRUE(snapshot().unavailableUntil.contains(key(1)));
  EXPECT_EQ(snapshot().networkGeneration, 3u);
}

TEST_F(PoolTest, HeartbeatsAdoptNewBootstrapsAndDropPathsNoLongerAllowed) {
  startRelays(2);
  auto config = configWith({node(0), node(1)});
  config.routes = {{"198.51.100.0/24", {1}}, {"203.0.113.0/24", {2}}};
  startPool(config);
  const auto original = await(pool->currentBootstrap());
  sendAndEcho(echoes(regionalHost, 2));
  sendAndEcho(echoes(routedHost, 2));
  ASSERT_EQ(liveKeys().size(), 2u);

  // Same fingerprint, the route through node 1 gone, a new credential.
  auto sameNetwork = original;
  sameNetwork.config.routes.pop_back();
  sameNetwork.deviceCredential = lab->credential(deviceID, tunnelText, 7200);
  // A new MTU changes the fingerprint.
  auto newNetwork = sameNetwork;
  newNetwork.config.mtu = 1280;
  heartbeats->replies = {std::nullopt, sameNetwork, newNetwork, newNetwork};

  await(pool->heartbeat());
  EXPECT_EQ(await(pool->currentBootstrap()), original);
  EXPECT_EQ(liveKeys().size(), 2u);

  await(pool->heartbeat());
  EXPECT_EQ(heartbeats->asked.back(), original);
  EXPECT_TRUE(configured.empty());
  EXPECT_EQ(await(pool->currentBootstrap()), sameNetwork);
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(0)});
  EXPECT_TRUE(snapshot().bindings.empty());
  EXPECT_TRUE(eventually([&] { return counter(1, "active") == 0; }));

  // Settings that cannot be applied leave everything as it was.
  configurationFails = true;
  EXPECT_THROW(await(pool->heartbeat()), std::runtime_error);
  EXPECT_EQ(configured.size(), 1u);
  EXPECT_EQ(await(pool->currentBootstrap()), sameNetwork);

  configurationFails = false;
  await(pool->heartbeat());
  ASSERT_EQ(configured.size(), 2u);
  EXPECT_EQ(configured.back(), newNetwork);
  EXPECT_EQ(await(pool->currentBootstrap()).config.mtu, 1280);
  EXPECT_EQ(liveKeys(), std::vector<std::string>{key(0)});

  // Trust and GeoIP replacements: the table change forgets the flow bindings.
  sendAndEcho(echoes(regionalHost, 2));
  ASSERT_FALSE(snapshot().bindings.empty());
  await(pool->updateGeoIP(GeoIPTable()));
  EXPECT_TRUE(snapshot().bindings.empty());

  // A new tunnel address: sessions made for the old one go, allowed or not.
  auto moved = newNetwork;
  moved.vpnIPv4 = "198.19.0.10";
  moved.deviceCredential = lab->credential(deviceID, moved.vpnIPv4);
  heartbeats->replies = {moved};
  ASSERT_FALSE(liveKeys().empty());
  await(pool->heartbeat());
  EXPECT_TRUE(liveKeys().empty());
  EXPECT_TRUE(eventually([&] { return counter(0, "active") == 0; }));
}

TEST_F(PoolTest, AClosedPoolSendsWhatWaitedForAnAttemptNowhereElse) {
  startRelays(2);
  GatedForwarder gate(io, relays[0]->port());
  auto config = configWith({node(0, gate.port()), node(1)});
  config.nodeGroups["DE"] = {{1, 0, 1}, {2, 1, 1}};  // the held node first
  startPool(config);
  runtime::spawn(pool->strand(), [this]() -> runtime::Task<void> {
    auto routing = pool->route(echoes(regionalHost, 2));
    co_await std::move(routing);
  });
  ASSERT_TRUE(runUntil([&] { return gate.accepted() == 1; }));
  await(pool->close());

  // The held attempt completes after the close: closed, and its packets do
  // not move on to node 1.
  gate.release();
  EXPECT_TRUE(eventually([&] { return counter(0, "authentications") == 1; }));
  EXPECT_TRUE(eventually([&] { return counter(0, "active") == 0; }));
  EXPECT_EQ(counter(1, "connections"), 0u);
  EXPECT_EQ(received, 0u);
}
