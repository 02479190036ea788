// Sign-in, launch restore, token refresh and tunnel preparation of the
// application against the testbed control server.

#include "tests/integration/login/login_fixture.hpp"

#include "runtime/json_codec.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/control/local_network.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace veskar::test {
namespace {

namespace bj = boost::json;

TEST_F(LoginAgainstControl, SignInIsRestoredAtLaunchOnlyWithStoredTokens) {
  auto wrong = settle(manager->login(testbed::test::labPhone, "not-the-password"));
  auto error = wrong.errorAs<APIError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->which(), APIErrorCase::server);
  EXPECT_EQ(error->status(), 401u);
  EXPECT_NE(error->body().find("invalid_login"), std::string::npos);
  EXPECT_FALSE(manager->isLoggedIn());
  EXPECT_FALSE(store.tokens());

  int changes = 0;
  manager->observers().add([&] { ++changes; });
  ASSERT_TRUE(settle(manager->login(testbed::test::labPhone, testbed::test::labPassword)).get());
  EXPECT_TRUE(manager->isLoggedIn());
  EXPECT_EQ(manager->currentLoginInfo(), (LoginInfo{testbed::test::labPhone, "u-1001"}));
  EXPECT_EQ(changes, 1);
  // The test lab's access tokens last 600 seconds.
  EXPECT_EQ(store.tokens()->accessExpiresAt, clock->now().adding(600));

  auto relaunched = makeManager();
  EXPECT_TRUE(relaunched->isLoggedIn());
  EXPECT_EQ(relaunched->currentLoginInfo(), manager->currentLoginInfo());

  // The session record without tokens: signed out, and the record stays.
  platform::FileSecretStore(server.directory() / "app" / "secrets", platform::sharedAccessGroup())
      .remove(SharedStore::tokenItem());
  auto withoutTokens = makeManager();
  EXPECT_FALSE(withoutTokens->isLoggedIn());
  EXPECT_FALSE(withoutTokens->currentLoginInfo());
  EXPECT_TRUE(store.defaults().data(kLoginSessionKey));
}

TEST_F(LoginAgainstControl, SignOutForgetsTheSessionButKeepsTheDeviceKey) {
  signIn();
  auto key = manager->deviceKey();
  EXPECT_EQ(key.size(), 36u);
  EXPECT_EQ(key, makeManager()->deviceKey());
  ASSERT_TRUE(settle(manager->prepareTunnel()).value);

  manager->signOut();
  EXPECT_FALSE(manager->isLoggedIn());
  EXPECT_FALSE(store.tokens());
  EXPECT_FALSE(store.defaults().data(kLoginSessionKey));
  EXPECT_FALSE(store.defaults().data(kTunnelBootstrapKey));
  EXPECT_EQ(manager->deviceKey(), key);
  EXPECT_FALSE(makeManager()->isLoggedIn());
  auto outcome = settle(manager->fetchTraffic());
  ASSERT_TRUE(outcome.errorAs<APIError>());
  EXPECT_EQ(outcome.errorAs<APIError>()->which(), APIErrorCase::missingAuthorization);
}

TEST_F(LoginAgainstControl, TokensWithinTheMarginAreRefreshedOnce) {
  signIn();
  storeExpiry(31);
  auto kept = *store.tokens();
  EXPECT_EQ(settle(manager->validTokens(false)).get(), kept);
  EXPECT_EQ(count("/v1/auth/refresh"), 0u);

  storeExpiry(30);
  auto refreshed = settle(manager->validTokens(false)).get();
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_NE(refreshed.refreshToken, kept.refreshToken);
  EXPECT_EQ(refreshed.accessExpiresAt, clock->now().adding(600));
  EXPECT_EQ(store.tokens(), refreshed);

  // A forced refresh that finds a token valid for long enough uses it.
  EXPECT_EQ(settle(manager->validTokens(true)).get(), refreshed);
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
}

TEST_F(LoginAgainstControl, ARejectedRefreshLeavesTheStoredTokens) {
  signIn();
  storeExpiry(0);
  auto before = *store.tokens();
  admin.post("/admin/expire", bj::object{{"token", before.refreshToken}});
  auto outcome = settle(manager->prepareTunnel());
  auto error = outcome.errorAs<APIError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->status(), 401u);
  EXPECT_EQ(store.tokens(), before);
  EXPECT_TRUE(manager->isLoggedIn());
  EXPECT_EQ(count("/v1/tunnel/authorize"), 0u);
}

TEST_F(LoginAgainstControl, PreparesTheTunnelForTheDaemon) {
  signIn();
  auto prepared = settle(manager->prepareTunnel()).get();
  const auto& bootstrap = prepared.bootstrap;
  EXPECT_EQ(bootstrap.controlURL, baseURL());
  EXPECT_EQ(bootstrap.controlIPv4, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(bootstrap.deviceKey, manager->deviceKey());
  EXPECT_FALSE(bootstrap.deviceCredential.empty());
  EXPECT_EQ(bootstrap.config.nodes.size(), 2u);
  EXPECT_EQ(bootstrap.localRoutes, localRoutes());

  // The server knows the device under the bootstrap's id and address.
  auto devices = admin.get("/admin/devices").json().at("devices").as_array();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].at("device_key").as_string(), bootstrap.deviceKey);
  EXPECT_EQ(devices[0].at("vpn_ipv4").as_string(), bootstrap.vpnIPv4);
  EXPECT_EQ(devices[0].at("device_id").to_number<std::uint64_t>(), bootstrap.deviceID);

  // The daemon's own pair is a separate one that works on its own.
  EXPECT_NE(prepared.extensionTokens.accessToken, store.tokens()->accessToken);
  EXPECT_EQ(prepared.extensionTokens.accessExpiresAt, clock->now().adding(600));
  EXPECT_EQ(client.get("/v1/account", prepared.extensionTokens.accessToken).status, 200u);

  auto stored = store.defaults().data(kTunnelBootstrapKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ(runtime::json::decodeText<TunnelBootstrap>(*stored), bootstrap);
  EXPECT_EQ(count("/v1/auth/refresh"), 0u);
}

TEST_F(LoginAgainstControl, ConcurrentPreparationsShareOneRefresh) {
  signIn();
  storeExpiry(-60);
  // The refresh answers late, so the second preparation finds it in flight.
  fault({{"path", "/v1/auth/refresh"}, {"delay_ms", 300}, {"times", 1}});
  std::vector<runtime::Task<PreparedTunnel>> tasks;
  tasks.push_back(manager->prepareTunnel());
  tasks.push_back(manager->prepareTunnel());
  auto outcomes = testsupport::settleAll(io, std::move(tasks));
  EXPECT_EQ(outcomes[0].get().bootstrap.deviceID, outcomes[1].get().bootstrap.deviceID);
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
}

TEST_F(LoginAgainstControl, AnAuthorizationRefusedWith401IsRetriedOnce) {
  signIn();
  bj::object refusal{{"path", "/v1/tunnel/authorize"},
                     {"status", 401},
                     {"body", bj::object{{"code", "token_expired"}}}};

  // Once: the forced refresh finds the stored token still valid, sends nothing,
  // and the second authorization goes through.
  auto once = refusal;
  once["times"] = 1;
  fault(once);
  EXPECT_TRUE(settle(manager->prepareTunnel()).value);
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
  EXPECT_EQ(count("/v1/auth/refresh"), 0u);

  // Always: the second refusal is final.
  admin.post("/admin/counts/reset", bj::object{});
  fault(refusal);
  auto outcome = settle(manager->prepareTunnel());
  auto error = outcome.errorAs<APIError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->status(), 401u);
  EXPECT_EQ(error->body(), R"({"code":"token_expired"})");
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
  EXPECT_EQ(count("/v1/auth/extension-session"), 0u);
}

TEST_F(LoginAgainstControl, AnAuthorizationWithoutNodesStoresNothing) {
  signIn();
  auto first = settle(manager->prepareTunnel()).get();
  auto storedBefore = store.defaults().data(kTunnelBootstrapKey);

  auto reply = client
                   .post("/v1/tunnel/authorize",
                         R"({"device_key":"K","platform":"macos","device_name":"t",)"
                         R"("local_routes":[]})",
                         store.tokens()->accessToken)
                   .json();
  reply.at("config").as_object()["nodes"] = bj::array{};
  fault({{"path", "/v1/tunnel/authorize"}, {"status", 200}, {"body", reply}});
  admin.post("/admin/counts/reset", bj::object{});

  auto outcome = settle(manager->prepareTunnel());
  auto error = outcome.errorAs<APIError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->which(), APIErrorCase::noAvailableNodes);
  EXPECT_EQ(error->localizationKey(), std::string("vpn.nodes.none_available"));
  EXPECT_EQ(count("/v1/auth/extension-session"), 0u);
  EXPECT_EQ(store.defaults().data(kTunnelBootstrapKey), storedBefore);
  EXPECT_EQ(first.bootstrap.deviceKey, manager->deviceKey());
}

TEST_F(LoginAgainstControl, TrafficComesFromTheAccount) {
  signIn();
  // The test lab's account: 5 GiB left of a 10 GiB baseline.
  EXPECT_EQ(settle(manager->fetchTraffic()).get(), (TrafficInfo{5368709120, 10737418240}));
}

}  // namespace
}  // namespace veskar::test
