// The real window, its QML and the Qt main executor over the core, with the
// test lab's control server and a recording tunnel host for the daemon:
// the screens photographed in English and Chinese.

#include "platform/https_client.hpp"
#include "platform/recording_tunnel_host.hpp"
#include "platform/url.hpp"
#include "tests/support/control/control_process.hpp"
#include "tests/support/ui/screen_tour.hpp"
#include "veskar/control/shared_store.hpp"
#include "veskar/ui/qt_executor.hpp"

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/serialize.hpp>

#include <cerrno>
#include <cstdlib>

namespace veskar::test {
namespace {

namespace asio = boost::asio;

// Two paths whose first hops listen on loopback.
std::string nodeStatus(unsigned short firstHopPort) {
  boost::json::array nodes;
  for (auto [name, key] :
       {std::pair{"Tokyo · Osaka", "192.0.2.11:443"}, std::pair{"Frankfurt", "198.51.100.7:443"}}) {
    nodes.push_back(
        boost::json::object{{"path_key", key},
                            {"node_ids", boost::json::array{1}},
                            {"display_name", name},
                            {"exit_host", key},
                            {"first_hop_host", "127.0.0.1"},
                            {"first_hop_address", "127.0.0.1:" + std::to_string(firstHopPort)}});
  }
  return boost::json::serialize(boost::json::object{{"nodes", nodes}});
}

class Screenshots : public ::testing::TestWithParam<const char*> {};

TEST_P(Screenshots, SignInMainScreensAndTheFailuresAUserMeets) {
  testsupport::tourApplication();
  testbed::test::ControlProcess server;
  ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1);
  ui::QtMainExecutor main;

  testsupport::ScreenTour tour;
  tour.executor = main.executor();
  tour.clock = std::make_shared<runtime::SystemClock>();
  LoginManagerOptions options;
  options.baseURL = *platform::parseURL("https://127.0.0.1:" + std::to_string(server.port()));
  options.refreshLockPath = server.directory() / "app" / "refresh.lock";
  tour.loginManager = LoginManager::create(
      tour.executor, std::make_shared<platform::HttpsClient>(main.ioContext().get_executor()),
      SharedStore(std::make_shared<platform::FileSecretStore>(
                      server.directory() / "app" / "secrets", platform::sharedAccessGroup()),
                  std::make_shared<platform::UserDefaults>(server.directory() / "app", "veskar")),
      options);

  auto host = std::make_shared<platform::RecordingTunnelHost>(tour.executor);
  host->lockdownEnabled = true;  // the main screen shows the switch on
  asio::ip::tcp::acceptor firstHop(main.ioContext(), {asio::ip::address_v4::loopback(), 0});
  host->replyToMessage = [status = nodeStatus(firstHop.local_endpoint().port())](
                             const std::string&) { return status; };
  VPNManager::Options vpnOptions;
  vpnOptions.serverAddress = "127.0.0.1";
  vpnOptions.clock = tour.clock;
  tour.vpnManager = VPNManager::create(tour.executor, host, std::move(vpnOptions));
  tour.directory = QStringLiteral(VESKAR_SCREENSHOT_DIR);

  QStringList problems = testsupport::takeScreenTour(tour, QString::fromLatin1(GetParam()));
  EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(host->starts.size(), 1u);
  EXPECT_EQ(host->stops.size(), 1u);

  testsupport::FailureStage stage;
  stage.setDaemonReachable = [&](bool reachable) { host->setReachable(reachable); };
  stage.setPermissionRefused = [&](bool refuse) {
    host->failure = refuse ? runtime::ErrorCode(EACCES, boost::system::generic_category())
                           : runtime::ErrorCode();
  };
  stage.expireSession = [&] {
    platform::FileSecretStore(server.directory() / "app" / "secrets", platform::sharedAccessGroup())
        .remove(SharedStore::tokenItem());
  };
  problems = testsupport::takeFailureTour(tour, QString::fromLatin1(GetParam()), stage);
  EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, ::testing::Values("en_US", "zh_CN"));

}  // namespace
}  // namespace veskar::test
