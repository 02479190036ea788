#include "provider_fixture.hpp"

#include "flowgate/transport/protocol_error.hpp"

using namespace provider_test;

namespace {

bool hasRoute(const platform::NetworkSettings& settings, const std::string& destination) {
  for (const auto& route : settings.ipv4Settings->excludedRoutes) {
    if (route.destinationAddress == destination) return true;
  }
  return false;
}

}  // namespace

TEST_F(ProviderTest, RefusesUnusableOptionsBeforeAnyRequest) {
  auto noNodes = testBootstrap();
  noNodes.config.nodes.clear();
  auto withoutTokens = startOptions();
  withoutTokens.erase(extensionTokensOption);
  auto bootstrapAsText = startOptions();
  bootstrapAsText[bootstrapOption] = OptionText{runtime::json::encodeText(testBootstrap())};
  auto notJSON = startOptions();
  notJSON[bootstrapOption] = OptionData{"{"};
  struct Case {
    const char* name;
    std::optional<StartOptions> options;
  };
  const std::vector<Case> cases = {{"absent", std::nullopt},
                                   {"without tokens", withoutTokens},
                                   {"bootstrap as text", bootstrapAsText},
                                   {"bootstrap not JSON", notJSON},
                                   {"no nodes", startOptions(noNodes)}};
  makeProvider();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto error = start(c.options);
    EXPECT_EQ(error, ProtocolError::invalidFrame);
    EXPECT_EQ(error.message(), "Invalid frame");
  }
  auto badTokens = startOptions();
  badTokens[extensionTokensOption] = OptionData{R"({"accessToken":"a"})"};
  EXPECT_EQ(start(badTokens), runtime::DecodingError::keyNotFound) << "the decoder's own error";
  EXPECT_EQ(startCompletions, 6);
  EXPECT_TRUE(http->requests().empty());
  EXPECT_TRUE(applier->applied().empty());
  EXPECT_FALSE(loadTokens(*secrets));
}

TEST_F(ProviderTest, RunningTunnelHoldsEverythingAndStopTakesItAway) {
  resolvers->set({"198.51.100.53", "fd00::1"});
  ASSERT_EQ(start(), runtime::ErrorCode());
  EXPECT_EQ(startCompletions, 1);
  EXPECT_EQ(loadTokens(*secrets)->accessToken, "access");

  auto state = provider->snapshot();
  EXPECT_TRUE(state.hasPool && state.hasDNSProxy && state.hasWriter);
  EXPECT_EQ(state.dnsServerIPv4, (std::unordered_set<std::uint32_t>{0xc6130035}));
  EXPECT_EQ(state.localResolvers, std::vector<std::string>{"198.51.100.53"});
  EXPECT_EQ(state.runningLoops, 4u);  // packets, cleanup, heartbeat, GeoIP
  EXPECT_TRUE(monitor->started());
  ASSERT_EQ(applier->applied().size(), 1u);
  EXPECT_TRUE(hasRoute(applier->applied()[0], "198.51.100.53"));

  stop();
  state = provider->snapshot();
  EXPECT_FALSE(state.hasPool || state.hasDNSProxy || state.hasWriter);
  EXPECT_TRUE(state.dnsServerIPv4.empty());
  EXPECT_EQ(state.runningLoops, 0u);
  EXPECT_FALSE(monitor->started());
  EXPECT_EQ(applier->removals(), 1u);
}

TEST_F(ProviderTest, HighSpeedIsOnUnlessANumberSaysOff) {
  struct Case {
    std::optional<StartOption> value;
    bool expected;
  };
  const std::vector<Case> cases = {{std::nullopt, true},
                                   {StartOption{OptionText{"false"}}, true},
                                   {StartOption{OptionData{"0"}}, true},
                                   {StartOption{0.0}, false},
                                   {StartOption{1.0}, true}};
  makeProvider();
  for (const auto& c : cases) {
    auto options = startOptions();
    if (c.value) options[highSpeedOption] = *c.value;
    ASSERT_EQ(start(options), runtime::ErrorCode());
    auto pool = provider->sessionPool();
    ASSERT_TRUE(pool);
    auto snapshot = await(pool->snapshot());
    EXPECT_EQ(snapshot.highSpeedEnabled, c.expected);
    stop();
  }
}

TEST_F(ProviderTest, GeoIPComesFromDownloadThenStoredFileThenNothing) {
  publishGeoIP(3, {"192.0.2.0/25"});
  ASSERT_EQ(start(), runtime::ErrorCode());
  EXPECT_EQ(provider->snapshot().directCIDRs, std::vector<std::string>{"192.0.2.0/25"});
  EXPECT_TRUE(hasRoute(applier->applied().back(), "192.0.2.0"));
  stop();

  // The control server has no table now; the file the first start stored remains.
  geoipFile.clear();
  ASSERT_EQ(start(), runtime::ErrorCode());
  EXPECT_EQ(provider->snapshot().directCIDRs, std::vector<std::string>{"192.0.2.0/25"});
  stop();

  std::filesystem::remove_all(directory / "geoip");
  ASSERT_EQ(start(), runtime::ErrorCode());
  EXPECT_TRUE(provider->snapshot().directCIDRs.empty());
  EXPECT_FALSE(hasRoute(applier->applied().back(), "192.0.2.0"));
}

TEST_F(ProviderTest, TrustBundleFailureEndsTheStartOnce) {
  trustUnreachable = true;
  EXPECT_EQ(start(), TrustStoreError::unavailable);
  settle();
  EXPECT_EQ(startCompletions, 1);
  EXPECT_TRUE(applier->applied().empty());
  EXPECT_FALSE(provider->snapshot().hasPool);
}

TEST_F(ProviderTest, FailuresAfterApplyingTakeTheSettingsAwayWithTheSameError) {
  applier->failWith(asio::error::access_denied);
  EXPECT_EQ(start(), asio::error::access_denied);
  EXPECT_EQ(applier->removals(), 1u);

  // A DNS configuration the proxy cannot use.
  auto bootstrap = testBootstrap();
  bootstrap.config.dns.servers = {"198.19.0.53", "fd00::53"};
  auto second = std::make_shared<platform::RecordingSettingsApplier>();
  applier = second;
  provider.reset();
  EXPECT_EQ(start(startOptions(bootstrap)), ProtocolError::invalidAddress);
  EXPECT_EQ(second->applied().size(), 1u);
  EXPECT_EQ(second->removals(), 1u);
  EXPECT_FALSE(provider->snapshot().hasPool);
  EXPECT_EQ(startCompletions, 2);
}

TEST_F(ProviderTest, StopBeforeStartCompletesPromptly) {
  makeProvider();
  bool done = false;
  provider->stopTunnel([&] { done = true; });
  settle();
  EXPECT_TRUE(done);
}

TEST_F(ProviderTest, StopDuringStartLeavesNothingRunning) {
  hold = true;
  makeProvider();
  bool startDone = false;
  provider->startTunnel(startOptions(), [&](std::exception_ptr error) {
    startDone = true;
    EXPECT_TRUE(error);
  });
  ASSERT_TRUE(runUntil([&] { return heldTimer != nullptr; }));
  bool stopDone = false;
  provider->stopTunnel([&] { stopDone = true; });
  ASSERT_TRUE(runUntil([&] { return stopDone; }));
  heldTimer->cancel();
  ASSERT_TRUE(runUntil([&] { return startDone; }));
  settle();
  EXPECT_TRUE(applier->applied().empty());
  EXPECT_FALSE(provider->snapshot().hasPool);
  EXPECT_EQ(provider->snapshot().runningLoops, 0u);
}
