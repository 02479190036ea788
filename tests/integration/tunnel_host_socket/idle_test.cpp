// A client that neither subscribed nor asks anything is let go after the idle
// time; one that watches the status stays however quiet it is.

#include "socket_fixture.hpp"

namespace tunnelhostsocket {
namespace {

TEST_F(SocketTest, AnIdleClientIsClosedUnlessSubscribed) {
  auto idlePath = directory / "run" / "idle.sock";
  auto idleServer = flowgate::daemon::ControlSocketServer::create(
      io.get_executor(), host,
      {.path = idlePath, .group = group, .idleTimeout = std::chrono::milliseconds(300)});
  idleServer->start();
  Socket quiet(io);
  quiet.connect(asio::local::stream_protocol::endpoint(idlePath.native()));
  auto watcher = platform::TunnelHostClient::create(io.get_executor(), idlePath);
  std::vector<bool> reachability;
  watcher->addStatusObserver([](const platform::TunnelStatusChange&) {});
  watcher->addReachabilityObserver([&](bool reachable) { reachability.push_back(reachable); });
  EXPECT_EQ(run(watcher->loadAllFromPreferences()).size(), 1u);

  testsupport::runFor(io, std::chrono::milliseconds(900));
  EXPECT_TRUE(run(closedByServer(quiet)));
  EXPECT_TRUE(reachability.empty());  // never lost
  idleServer->stop();
}

}  // namespace
}  // namespace tunnelhostsocket
