// The VPN manager over a recording tunnel host, with time moved by hand: the
// saved configuration, the start options, the wait for connected, the status
// notifications, and the node list's polling and probes.

#include "veskar/tunnel/vpn_manager.hpp"

#include "platform/fake_http_client.hpp"
#include "platform/recording_tunnel_host.hpp"
#include "platform/secret_store.hpp"
#include "platform/url.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace veskar {
namespace {

using platform::TunnelStatus;

constexpr const char* kOwnID = "configuration-1";

AuthorizeResponse authorization() {
  AuthorizeResponse reply;
  reply.deviceId = 7;
  reply.deviceCredential = "credential";
  reply.credentialExpiresAt = "2027-01-01T00:00:00Z";
  reply.vpnIpv4 = "198.19.0.2";
  reply.leaseExpiresAt = "2027-01-01T00:00:00Z";
  reply.config.nodes.push_back({1, "relay1", "192.0.2.131:443", "relay1", 0});
  return reply;
}

// Answers the two requests of a tunnel preparation.
platform::HttpResponse controlServer(const platform::HttpRequest& request) {
  auto path = request.url.path();
  if (path == "/v1/tunnel/authorize") {
    return {200, {}, runtime::json::encodeText(authorization())};
  }
  if (path == "/v1/auth/extension-session") {
    return {200, {}, R"({"access_token":"ext-a","expires_in":900,"refresh_token":"ext-r"})"};
  }
  return {404, {}, R"({"code":"not_found"})"};
}

std::string nodeStatus(const std::vector<std::pair<std::string, std::string>>& paths) {
  boost::json::array nodes;
  for (const auto& [key, firstHop] : paths) {
    nodes.push_back(boost::json::object{{"path_key", key},
                                        {"node_ids", boost::json::array{1, 2}},
                                        {"display_name", "via " + key},
                                        {"exit_host", "exit"},
                                        {"first_hop_host", "hop"},
                                        {"first_hop_address", firstHop}});
  }
  return boost::json::serialize(boost::json::object{{"nodes", nodes}});
}

class VPNManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store.saveTokens({"user-a", "user-r", clock->now().adding(3600)});
    host->replyToMessage = [this](const std::string&) { return statusReply; };
  }

  std::shared_ptr<VPNManager> makeManager() {
    VPNManager::Options options;
    options.serverAddress = "control.lab.example";
    options.clock = clock;
    options.probe = [this](std::string probeHost, std::string, std::chrono::milliseconds timeout) {
      return probe(probeHost, timeout);
    };
    return VPNManager::create(io.get_executor(), host, std::move(options));
  }

  // A first hop answers after `probeSeconds` of the manual clock with the
  // milliseconds scripted for its host, if any.
  runtime::Task<std::optional<std::int64_t>> probe(std::string probeHost,
                                                   std::chrono::milliseconds timeout) {
    EXPECT_EQ(timeout, std::chrono::milliseconds(1000));
    probed.push_back(probeHost);
    maxConcurrentProbes = std::max(maxConcurrentProbes, ++activeProbes);
    co_await clock->sleep(probeSeconds, runtime::CancelToken{});
    --activeProbes;
    auto found = probeAnswers.find(probeHost);
    co_return found == probeAnswers.end() ? std::nullopt : found->second;
  }

  void poll() {
    io.restart();
    io.poll();
  }
  // Moves the manual clock in steps of 1/16 s (exact in binary, so deadlines
  // of whole seconds are met exactly), running what became ready.
  void advance(double seconds) {
    constexpr double step = 0.0625;
    auto steps = static_cast<int>(seconds / step + 1e-9);
    for (int i = 0; i < steps; ++i) {
      clock->advance(step);
      poll();
    }
    if (double rest = seconds - steps * step; rest > 1e-9) {
      clock->advance(rest);
      poll();
    }
  }

  // Runs `task` until it ends (at most 30 s of the manual clock); rethrows its
  // exception.
  void finish(runtime::Task<void> task) {
    bool done = false;
    std::exception_ptr error;
    runtime::spawn(io.get_executor(), [&, task = std::move(task)]() mutable -> runtime::Task<void> {
      try {
        co_await std::move(task);
      } catch (...) {
        error = std::current_exception();
      }
      done = true;
    });
    double began = clock->uptime();
    poll();
    while (!done && clock->uptime() - began < 30) advance(0.0625);
    ASSERT_TRUE(done);
    if (error) std::rethrow_exception(error);
  }
  template <class T>
  T finish(runtime::Task<T> task) {
    std::optional<T> value;
    finish([](runtime::Task<T> inner, std::optional<T>& out) -> runtime::Task<void> {
      out = co_await std::move(inner);
    }(std::move(task), value));
    if (!value) throw std::runtime_error("the task did not end");
    return *value;
  }
  bool connect() { return finish(manager->connect(login)); }
  std::vector<std::string> nodeStatusMessages() const {
    std::vector<std::string> sent;
    for (const auto& message : host->messages) {
      if (message.message == "node-status") sent.push_back(message.identifier);
    }
    return sent;
  }
  std::vector<std::string> latencies() const {
    std::vector<std::string> texts;
    for (const auto& row : manager->nodeInfos()) texts.push_back(row.id + "=" + row.latency);
    return texts;
  }

  boost::asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<platform::RecordingTunnelHost> host =
      std::make_shared<platform::RecordingTunnelHost>(io.get_executor());
  testsupport::TemporaryDirectory directory{"vpn-manager"};
  SharedStore store{std::make_shared<platform::FileSecretStore>(directory / "secrets",
                                                                platform::sharedAccessGroup()),
                    std::make_shared<platform::UserDefaults>(directory.path(), "veskar")};
  bool controlDown = false;  // every request answers 500
  std::shared_ptr<platform::FakeHttpClient> http =
      std::make_shared<platform::FakeHttpClient>(platform::FakeHttpClient::replying(
          [this](const platform::HttpRequest& request) -> platform::HttpResponse {
            if (controlDown) return {500, {}, "down"};
            return controlServer(request);
          }));
  std::shared_ptr<LoginManager> login =
      LoginManager::create(io.get_executor(), http, store,
                           LoginManagerOptions{*platform::parseURL("https://192.0.2.1"),
                                               directory / "refresh.lock", clock});
  std::shared_ptr<VPNManager> manager = makeManager();

  std::optional<std::string> statusReply = nodeStatus({});
  std::map<std::string, std::optional<std::int64_t>> probeAnswers;
  double probeSeconds = 0;
  std::vector<std::string> probed;
  int activeProbes = 0;
  int maxConcurrentProbes = 0;
};

TEST_F(VPNManagerTest, ConnectSavesItsOwnConfigurationBesideOthersAndReusesItLater) {
  platform::TunnelConfiguration other;
  other.identifier = "other";
  other.providerBundleIdentifier = "com.example.other";
  host->configurations.push_back(other);

  ASSERT_TRUE(connect());
  ASSERT_EQ(host->configurations.size(), 2u);
  EXPECT_EQ(host->configurations[0], other);
  const auto& own = host->configurations[1];
  EXPECT_EQ(own.providerBundleIdentifier, "net.veskar.macos.Flowgate");
  EXPECT_EQ(own.serverAddress, "control.lab.example");
  EXPECT_EQ(own.providerConfiguration, (boost::json::object{{"protocolVersion", 3}}));
  EXPECT_EQ(own.localizedDescription, "Veskar");
  EXPECT_TRUE(own.enabled);
  EXPECT_EQ(manager->manager(), own);

  // A damaged copy is repaired in place, not duplicated.
  host->configurations[1].enabled = false;
  host->configurations[1].providerConfiguration = {{"protocolVersion", 2}, {"stale", true}};
  auto id = own.identifier;
  ASSERT_TRUE(connect());
  ASSERT_EQ(host->configurations.size(), 2u);
  EXPECT_EQ(host->configurations[1].identifier, id);
  EXPECT_TRUE(host->configurations[1].enabled);
  EXPECT_EQ(host->configurations[1].providerConfiguration,
            (boost::json::object{{"protocolVersion", 3}}));
}

TEST_F(VPNManagerTest, InitializeLoadsWithoutSavingAndKeepsTheManagerWhenLoadingFails) {
  finish(manager->initialize(login));
  EXPECT_EQ(manager->manager(), platform::TunnelConfiguration{});
  EXPECT_EQ(host->saves, 0u);

  ASSERT_TRUE(connect());
  auto later = makeManager();
  host->failure = make_error_code(platform::TunnelHostError::connectionLost);
  std::swap(manager, later);
  finish(manager->initialize(login));
  EXPECT_FALSE(manager->manager());
  EXPECT_FALSE(manager->isConnected());

  host->failure = {};
  finish(manager->initialize(login));
  ASSERT_TRUE(manager->manager());
  EXPECT_EQ(manager->manager()->identifier, kOwnID);
  EXPECT_TRUE(manager->isConnected());
}

TEST_F(VPNManagerTest, StartsWithTheBootstrapTheTokensAndTheHighSpeedSetting) {
  struct Case {
    std::optional<boost::json::value> stored;
    double expected;
  };
  for (const auto& [stored, expected] :
       {Case{std::nullopt, 1.0}, Case{false, 0.0}, Case{true, 1.0}, Case{"off", 1.0}}) {
    if (stored) store.defaults().setValue(kHighSpeedEnabledKey, *stored);
    host->starts.clear();
    ASSERT_TRUE(connect());
    ASSERT_EQ(host->starts.size(), 1u);
    const auto& options = host->starts[0].options;
    EXPECT_EQ(options.size(), 3u);
    EXPECT_EQ(std::get<double>(options.at("high_speed_enabled")), expected)
        << (stored ? boost::json::serialize(*stored) : "never written");

    auto bootstrap = runtime::json::decodeText<TunnelBootstrap>(
        std::get<platform::TunnelOptionData>(options.at("bootstrap")).bytes);
    EXPECT_EQ(bootstrap.deviceCredential, "credential");
    EXPECT_EQ(bootstrap.config, authorization().config);
    EXPECT_EQ(bootstrap.controlURL, "https://192.0.2.1");
    auto tokens = boost::json::parse(
        std::get<platform::TunnelOptionData>(options.at("extension_tokens")).bytes);
    EXPECT_EQ(tokens.at("accessToken"), "ext-a");
    EXPECT_EQ(tokens.at("refreshToken"), "ext-r");
    EXPECT_EQ(tokens.at("accessExpiresAt").to_number<double>(),
              clock->now().adding(900).secondsSinceReferenceDate);
  }
}

TEST_F(VPNManagerTest, FailuresBeforeTheStartAreThrownAndAFailedPreparationTouchesNothing) {
  controlDown = true;
  EXPECT_THROW(connect(), APIError);
  EXPECT_EQ(host->saves, 0u);
  EXPECT_FALSE(manager->manager());

  controlDown = false;
  host->startFailure = make_error_code(platform::TunnelHostError::alreadyRunning);
  try {
    connect();
    ADD_FAILURE() << "the start's failure was not thrown";
  } catch (const runtime::SystemError& error) {
    EXPECT_EQ(error.code(), platform::TunnelHostError::alreadyRunning);
  }
  EXPECT_FALSE(manager->isConnected());
}

// How long the wait for connected takes, by what the status does after the start.
TEST_F(VPNManagerTest, TheWaitEndsWhenConnectedEarlyWhenTheStartFailedElseAfterTwentySeconds) {
  struct Case {
    const char* name;
    std::optional<TunnelStatus> afterStart;
    std::vector<std::pair<double, TunnelStatus>> later;  // seconds after the start
    bool connected;
    double minSeconds, maxSeconds;
  };
  const std::vector<Case> cases = {
      {"connected at once", TunnelStatus::connected, {}, true, 0, 0.05},
      {"connected after 5 s", std::nullopt, {{5, TunnelStatus::connected}}, true, 5, 5.3},
      {"rejected", TunnelStatus::disconnected, {}, false, 1, 1.5},
      {"invalid", TunnelStatus::invalid, {}, false, 1, 1.5},
      {"stopping", TunnelStatus::disconnecting, {}, false, 1, 1.5},
      {"down for a moment, then connected",
       TunnelStatus::disconnected,
       {{0.5, TunnelStatus::connecting}, {3, TunnelStatus::connected}},
       true,
       3,
       3.3},
      {"never leaves connecting", std::nullopt, {}, false, 20, 20.3},
      {"reasserting throughout", TunnelStatus::reasserting, {}, false, 20, 20.3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host = std::make_shared<platform::RecordingTunnelHost>(io.get_executor());
    manager = makeManager();
    host->statusAfterStart = c.afterStart;

    std::optional<bool> result;
    std::exception_ptr error;
    bool done = false;
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        result = co_await manager->connect(login);
      } catch (...) {
        error = std::current_exception();
      }
      done = true;
    });
    poll();
    ASSERT_EQ(host->starts.size(), 1u);
    double started = clock->uptime();
    auto pending = c.later;
    while (!done && clock->uptime() - started < 30) {
      clock->advance(0.05);
      while (!pending.empty() && clock->uptime() - started >= pending.front().first - 1e-9) {
        host->setStatus(kOwnID, pending.front().second);
        pending.erase(pending.begin());
      }
      poll();
    }
    ASSERT_TRUE(done);
    ASSERT_FALSE(error);
    double took = clock->uptime() - started;
    EXPECT_EQ(*result, c.connected);
    EXPECT_EQ(manager->isConnected(), c.connected);
    EXPECT_GE(took, c.minSeconds - 1e-6);
    EXPECT_LE(took, c.maxSeconds);
  }
}

TEST_F(VPNManagerTest, StatusNotificationsOfItsOwnConfigurationDriveIsConnectedAndThePolling) {
  manager->setNodeInfoVisible(true);
  ASSERT_TRUE(connect());
  poll();
  // The wait saw connected before the notifications of the start arrived;
  // "connecting" stops the polling for a moment, "connected" starts it again.
  EXPECT_TRUE(manager->isConnected());
  EXPECT_FALSE(nodeStatusMessages().empty());

  host->setStatus("someone-else", TunnelStatus::disconnected);
  poll();
  EXPECT_TRUE(manager->isConnected());

  statusReply = nodeStatus({{"1>2", "192.0.2.131:443"}});
  advance(3);
  EXPECT_EQ(manager->nodeInfos().size(), 1u);

  host->setStatus(kOwnID, TunnelStatus::reasserting);
  poll();
  EXPECT_FALSE(manager->isConnected());
  EXPECT_TRUE(manager->nodeInfos().empty());
  auto sent = nodeStatusMessages().size();
  advance(9);
  EXPECT_EQ(nodeStatusMessages().size(), sent);

  host->setStatus(kOwnID, TunnelStatus::connected);
  poll();
  EXPECT_TRUE(manager->isConnected());
  EXPECT_EQ(nodeStatusMessages().size(), sent + 1);

  finish(manager->disconnect());
  EXPECT_EQ(host->stops, std::vector<std::string>{kOwnID});
  EXPECT_FALSE(manager->isConnected());
  EXPECT_TRUE(manager->nodeInfos().empty());
  sent = nodeStatusMessages().size();
  advance(9);
  EXPECT_EQ(nodeStatusMessages().size(), sent);
}

TEST_F(VPNManagerTest, ALostDaemonShowsNothingConnectedAndItsReturnIsReadAgain) {
  manager->setNodeInfoVisible(true);
  ASSERT_TRUE(connect());
  statusReply = nodeStatus({{"1>2", "192.0.2.131:443"}});
  advance(3);
  ASSERT_EQ(manager->nodeInfos().size(), 1u);

  // Killed: no event comes from the daemon, only the loss of its socket.
  host->setReachable(false);
  poll();
  EXPECT_FALSE(manager->isServiceReachable());
  EXPECT_FALSE(manager->isConnected());
  EXPECT_TRUE(manager->nodeInfos().empty());
  auto sent = nodeStatusMessages().size();
  advance(9);
  EXPECT_EQ(nodeStatusMessages().size(), sent);

  // Back, and the tunnel came back meanwhile without an event: read, not assumed.
  auto reads = host->connectionReads;
  host->setReachable(true);
  poll();
  EXPECT_GT(host->connectionReads, reads);
  EXPECT_TRUE(manager->isServiceReachable());
  EXPECT_TRUE(manager->isConnected());
  advance(3);
  EXPECT_EQ(manager->nodeInfos().size(), 1u);

  host->setStatus(kOwnID, TunnelStatus::reasserting);
  poll();
  EXPECT_TRUE(manager->isReconnecting());
  EXPECT_FALSE(manager->isConnected());
}

TEST_F(VPNManagerTest, PollsEveryThreeSecondsOnlyWhileVisibleAndConnected) {
  ASSERT_TRUE(connect());
  advance(6);
  EXPECT_TRUE(nodeStatusMessages().empty());

  manager->setNodeInfoVisible(true);
  poll();
  EXPECT_EQ(nodeStatusMessages().size(), 1u);
  advance(2.875);
  EXPECT_EQ(nodeStatusMessages().size(), 1u);
  advance(0.125);
  EXPECT_EQ(nodeStatusMessages().size(), 2u);
  manager->setNodeInfoVisible(true);  // already polling: no second loop
  advance(3);
  EXPECT_EQ(nodeStatusMessages().size(), 3u);

  manager->setNodeInfoVisible(false);
  advance(9);
  EXPECT_EQ(nodeStatusMessages().size(), 3u);
  EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(VPNManagerTest, LatencyTextsKeepThePreviousValueOrShowDashes) {
  ASSERT_TRUE(connect());
  probeAnswers = {{"fast", 12}, {"edge", 999}, {"second", 1000}, {"slow", 1500}};
  statusReply = nodeStatus({{"a", "fast:443"},
                            {"b", "edge:443"},
                            {"c", "second:443"},
                            {"d", "slow:443"},
                            {"e", "gone:443"},
                            {"f", "noport"},
                            {"g", "host:65536"},
                            {"h", "host:"},
                            {"i", ":443"}});
  manager->setNodeInfoVisible(true);
  poll();
  EXPECT_EQ(latencies(), (std::vector<std::string>{"a=12 ms", "b=999 ms", "c=1.0 s", "d=1.5 s",
                                                   "e=--", "f=--", "g=--", "h=--", "i=--"}));
  // Unparsable ports never reach the probe.
  EXPECT_EQ(probed, (std::vector<std::string>{"fast", "edge", "second", "slow", "gone"}));
  EXPECT_EQ(manager->nodeInfos()[0].name, "via a");

  // Failed probes and addresses without a port keep what the path showed before.
  probeAnswers = {{"fast", 30}};
  statusReply = nodeStatus({{"b", "edge:443"}, {"a", "fast:443"}, {"d", "slow"}, {"z", "x"}});
  advance(3);
  EXPECT_EQ(latencies(), (std::vector<std::string>{"b=999 ms", "a=30 ms", "d=1.5 s", "z=--"}));

  // No answer, an empty one or one that does not decode changes nothing.
  for (std::optional<std::string> reply :
       {std::optional<std::string>{}, std::optional<std::string>{""},
        std::optional<std::string>{"{\"nodes\":[{\"path_key\":\"a\"}]}"},
        std::optional<std::string>{"not json"}}) {
    statusReply = reply;
    advance(3);
    EXPECT_EQ(manager->nodeInfos().size(), 4u);
  }
  host->failure = make_error_code(platform::TunnelHostError::notRunning);
  advance(3);
  EXPECT_EQ(manager->nodeInfos().size(), 4u);
  host->failure = {};

  statusReply = nodeStatus({});
  advance(3);
  EXPECT_TRUE(manager->nodeInfos().empty());
}

TEST_F(VPNManagerTest, ProbesRunOneAfterAnotherAndAHiddenListDiscardsTheRunningRefresh) {
  ASSERT_TRUE(connect());
  probeAnswers = {{"a", 5}, {"b", 6}, {"c", 7}};
  probeSeconds = 0.5;
  statusReply = nodeStatus({{"a", "a:1"}, {"b", "b:1"}, {"c", "c:1"}});
  manager->setNodeInfoVisible(true);
  poll();
  advance(1.6);
  EXPECT_EQ(maxConcurrentProbes, 1);
  EXPECT_EQ(latencies(), (std::vector<std::string>{"a=5 ms", "b=6 ms", "c=7 ms"}));

  // The next refresh begins 3 s after this one ended (at 1.5 s). Hidden while
  // its second probe runs and shown again at once: its rows are dropped, and
  // the new loop's first refresh finds it still busy and waits its turn.
  probeAnswers = {{"a", 50}, {"b", 60}, {"c", 70}};
  advance(3.6);  // 5.2 s
  ASSERT_EQ(probed.size(), 5u);
  manager->setNodeInfoVisible(false);
  EXPECT_TRUE(manager->nodeInfos().empty());
  manager->setNodeInfoVisible(true);
  poll();
  advance(1);
  EXPECT_TRUE(manager->nodeInfos().empty());
  EXPECT_EQ(probed.size(), 5u);  // the dropped refresh probed no further
  advance(3.6);                  // the new loop's refresh: 8.2 s to 9.7 s
  EXPECT_EQ(latencies(), (std::vector<std::string>{"a=50 ms", "b=60 ms", "c=70 ms"}));
}

TEST_F(VPNManagerTest, TheHighSpeedSwitchReachesOnlyARunningTunnel) {
  manager->setHighSpeedEnabled(true);
  poll();
  EXPECT_TRUE(host->messages.empty());

  ASSERT_TRUE(connect());
  manager->setHighSpeedEnabled(false);
  manager->setHighSpeedEnabled(true);
  poll();
  ASSERT_EQ(host->messages.size(), 2u);
  EXPECT_EQ(host->messages[0].message, "high-speed:off");
  EXPECT_EQ(host->messages[1].message, "high-speed:on");
  EXPECT_FALSE(host->messages[1].wantsReply);
  EXPECT_EQ(host->messages[1].identifier, kOwnID);

  host->failure = make_error_code(platform::TunnelHostError::notRunning);
  EXPECT_FALSE(finish(manager->sendHighSpeedEnabled(true)));
}

}  // namespace
}  // namespace veskar
