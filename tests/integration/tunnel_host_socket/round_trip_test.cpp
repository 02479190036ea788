// The real client against the real server: every operation, errors in their
// domains, status events, the socket file, and the client's reconnection.

#include "socket_fixture.hpp"

#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"

#include <sys/stat.h>

namespace tunnelhostsocket {
namespace {

using platform::TunnelHostError;
using platform::TunnelStatus;

TEST_F(SocketTest, EveryOperationRoundTrips) {
  auto tunnelHost = client();
  EXPECT_EQ(run(tunnelHost->loadAllFromPreferences()), host->configurations);

  platform::TunnelConfiguration fresh{
      .identifier = "",
      .providerBundleIdentifier = "com.example.tunnel",
      .serverAddress = "198.51.100.2",
      .providerConfiguration = {{"protocolVersion", 3}, {"nested", {{"list", {1, 2}}}}},
      .localizedDescription = "Büro",
      .enabled = false};
  auto stored = run(tunnelHost->saveToPreferences(fresh));
  ASSERT_FALSE(stored.identifier.empty());
  fresh.identifier = stored.identifier;
  EXPECT_EQ(stored, fresh);
  EXPECT_EQ(run(tunnelHost->loadFromPreferences(stored.identifier)), fresh);

  platform::TunnelStartOptions options{
      {"token", platform::TunnelOptionData{std::string("\0\xff bytes", 8)}},
      {"node", std::string("exit-1")},
      {"hasLoaded", 1.0}};
  run(tunnelHost->startVPNTunnel("home", options));
  ASSERT_EQ(host->starts.size(), 1u);
  EXPECT_EQ(host->starts[0].identifier, "home");
  EXPECT_EQ(host->starts[0].options, options);

  platform::TunnelErrorInfo lastError{"flowgate.session", 7, "Authorization failed"};
  host->setLastDisconnectError("home", lastError);
  EXPECT_EQ(run(tunnelHost->connection("home")),
            (platform::TunnelConnection{TunnelStatus::connected, lastError}));

  host->replyToMessage = [](const std::string& message) { return "re:" + message; };
  std::string binary("\x01\x00\xfe", 3);
  EXPECT_EQ(run(tunnelHost->sendProviderMessage("home", binary, true)), "re:" + binary);
  EXPECT_EQ(run(tunnelHost->sendProviderMessage("home", "quiet", false)), std::nullopt);

  run(tunnelHost->setLockdown(true));
  EXPECT_EQ(host->lockdownSets, std::vector<bool>{true});
  EXPECT_TRUE(run(tunnelHost->lockdown()));

  run(tunnelHost->stopVPNTunnel("home"));
  EXPECT_EQ(host->stops, std::vector<std::string>{"home"});
  run(tunnelHost->removeFromPreferences(stored.identifier));
  EXPECT_EQ(testsupport::errorOf(io, tunnelHost->loadFromPreferences(stored.identifier)),
            TunnelHostError::notFound);
}

TEST_F(SocketTest, ErrorsReachTheCallerInTheirDomain) {
  auto tunnelHost = client();
  host->startFailure = runtime::ErrorCode(ENETUNREACH, boost::system::system_category());
  auto code = testsupport::errorOf(io, tunnelHost->startVPNTunnel("home", {}));
  EXPECT_EQ(code, boost::system::errc::network_unreachable);
  EXPECT_EQ(code.message(), "Network is unreachable");

  host->startFailure = platform::TunnelHostError::alreadyRunning;
  EXPECT_EQ(testsupport::errorOf(io, tunnelHost->startVPNTunnel("home", {})),
            TunnelHostError::alreadyRunning);

  // Any other domain is the provider's own, passed on as it was.
  host->startFailure = runtime::DecodingError::typeMismatch;
  try {
    run(tunnelHost->startVPNTunnel("home", {}));
    ADD_FAILURE() << "the start succeeded";
  } catch (const platform::TunnelProviderError& e) {
    EXPECT_EQ(e.info(), (platform::TunnelErrorInfo{"json.decoding", 3, "Value of the wrong type"}));
  }
}

TEST_F(SocketTest, StatusEventsReachEverySubscriberInOrder) {
  std::vector<platform::TunnelStatusChange> first, second;
  std::vector<bool> firstReach, thirdReach;
  auto one = client();
  auto two = client();
  one->addReachabilityObserver([&](bool reachable) { firstReach.push_back(reachable); });
  one->addStatusObserver([&](const auto& change) { first.push_back(change); });
  two->addStatusObserver([&](const auto& change) { second.push_back(change); });
  run(one->loadAllFromPreferences());
  run(two->loadAllFromPreferences());
  testsupport::runFor(io, std::chrono::milliseconds(50));

  run(one->startVPNTunnel("home", {}));
  host->setStatus("home", TunnelStatus::reasserting);
  host->setStatus("home", TunnelStatus::connected);
  run(two->stopVPNTunnel("home"));
  std::vector<platform::TunnelStatusChange> expected{{"home", TunnelStatus::connecting},
                                                     {"home", TunnelStatus::connected},
                                                     {"home", TunnelStatus::reasserting},
                                                     {"home", TunnelStatus::connected},
                                                     {"home", TunnelStatus::disconnected}};
  ASSERT_TRUE(testsupport::runUntil(io, [&] { return second.size() >= expected.size(); }));
  testsupport::runFor(io, std::chrono::milliseconds(20));
  EXPECT_EQ(first, expected);
  EXPECT_EQ(second, expected);

  // A restarted daemon: the clients subscribe again on their own, and so does
  // one that began observing while the daemon was away.
  // Each loss and each return is told once.
  EXPECT_TRUE(firstReach.empty());
  server->stop();
  testsupport::runFor(io, std::chrono::milliseconds(50));
  EXPECT_EQ(firstReach, std::vector<bool>{false});
  std::vector<platform::TunnelStatusChange> third;
  auto three = client();
  three->addReachabilityObserver([&](bool reachable) { thirdReach.push_back(reachable); });
  three->addStatusObserver([&](const auto& change) { third.push_back(change); });
  testsupport::runFor(io, std::chrono::milliseconds(50));
  startServer();
  testsupport::runFor(io, std::chrono::milliseconds(700));
  host->setStatus("home", TunnelStatus::connecting);
  expected.push_back({"home", TunnelStatus::connecting});
  ASSERT_TRUE(testsupport::runUntil(io, [&] {
    return first.size() == expected.size() && second.size() == expected.size() && third.size() == 1;
  }));
  EXPECT_EQ(first.back(), expected.back());
  EXPECT_EQ(second.back(), expected.back());
  EXPECT_EQ(third.back(), expected.back());
  EXPECT_EQ(firstReach, (std::vector<bool>{false, true}));
  EXPECT_EQ(thirdReach, (std::vector<bool>{false, true}));
}

TEST_F(SocketTest, SocketFileIsGuardedReplacedWhenStaleAndRemovedAtStop) {
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0660u);
  EXPECT_EQ(status.st_gid, gid);
  ASSERT_EQ(::stat(path.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);

  // A second daemon must not steal a live socket.
  auto second = flowgate::daemon::ControlSocketServer::create(io.get_executor(), host,
                                                              {.path = path, .group = group});
  try {
    second->start();
    ADD_FAILURE() << "a second server took the socket";
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), boost::system::errc::address_in_use);
  }

  server->stop();
  EXPECT_FALSE(std::filesystem::exists(path));

  // A socket file nobody listens on any more, as a crashed daemon leaves it.
  { asio::local::stream_protocol::acceptor stale(io, path.native()); }
  ASSERT_TRUE(std::filesystem::exists(path));
  startServer();
  EXPECT_NO_THROW(run(client()->loadAllFromPreferences()));
}

TEST_F(SocketTest, ClientFailsWaitingCallsOnLossAndReconnects) {
  auto tunnelHost = client();
  run(tunnelHost->loadAllFromPreferences());

  server->stop();
  testsupport::runFor(io, std::chrono::milliseconds(20));
  EXPECT_EQ(testsupport::errorOf(io, tunnelHost->loadAllFromPreferences()),
            boost::system::errc::no_such_file_or_directory);

  // A daemon that dies with the request unanswered.
  asio::local::stream_protocol::acceptor dying(io, path.native());
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    auto socket = co_await dying.async_accept(asio::use_awaitable);
    std::array<char, 256> request;
    co_await socket.async_read_some(asio::buffer(request), asio::use_awaitable);
  });
  EXPECT_EQ(testsupport::errorOf(io, tunnelHost->connection("home")),
            TunnelHostError::connectionLost);

  // A daemon that hangs: the call ends at its deadline, not never.
  auto impatient =
      platform::TunnelHostClient::create(io.get_executor(), path, std::chrono::milliseconds(200));
  std::optional<Socket> hung;
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    hung.emplace(co_await dying.async_accept(asio::use_awaitable));
  });
  EXPECT_EQ(testsupport::errorOf(io, impatient->connection("home")),
            TunnelHostError::notResponding);
  hung.reset();
  dying.close();
  std::filesystem::remove(path);

  startServer();
  EXPECT_EQ(run(tunnelHost->loadFromPreferences("home")), host->configurations.front());
}

}  // namespace
}  // namespace tunnelhostsocket
