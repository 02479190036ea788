#pragma once

// The shell and both screens' view models over the real application core:
// the login manager against the testbed control server, the VPN manager over
// a recording tunnel host, the node probe against a loopback listener, time
// on a manual clock, texts in English.

#include "platform/recording_tunnel_host.hpp"
#include "tests/integration/login/login_fixture.hpp"
#include "tests/support/async/run_task.hpp"
#include "tests/support/qt/qt_test_application.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"
#include "veskar/ui/translations.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/json/serialize.hpp>

#include <memory>
#include <vector>

namespace veskar::test {

class Screens : public LoginAgainstControl {
 public:
  static constexpr const char* kWebsite = "https://www.lab.example/";

  Screens() {
    host->replyToMessage = [this](const std::string& message) -> std::optional<std::string> {
      if (message != "node-status") return std::nullopt;
      return nodeStatus;
    };
  }

  void SetUp() override {
    LoginAgainstControl::SetUp();
    makeScreens();
  }

  void makeScreens() {
    VPNManager::Options options;
    options.serverAddress = "127.0.0.1";
    options.clock = clock;
    vpnManager = VPNManager::create(io.get_executor(), host, std::move(options));
    shell = std::make_unique<ui::AppShell>(io.get_executor(), manager, vpnManager);
    loginModel = std::make_unique<ui::LoginViewModel>(ui::LoginViewModel::Dependencies{
        io.get_executor(), manager, clock, QUrl(QString::fromLatin1(kWebsite)), recordURL,
        QLocale(QLocale::English, QLocale::UnitedStates)});
    mainModel = std::make_unique<ui::MainViewModel>(ui::MainViewModel::Dependencies{
        io.get_executor(), manager, vpnManager, clock, QUrl(QString::fromLatin1(kWebsite)),
        recordURL, QUrl(QStringLiteral("https://www.lab.example/help/"))});
  }

  // Runs the io until `done` holds (network work takes real time).
  bool until(const std::function<bool()>& done) { return testsupport::runUntil(io, done); }
  // Lets what is ready start its sleeps, moves the manual clock, and runs
  // what became ready.
  void advance(double seconds) {
    testsupport::runFor(io, std::chrono::milliseconds(20));
    clock->advance(seconds);
    testsupport::runFor(io, std::chrono::milliseconds(20));
  }
  // Moves the manual clock in small steps until `done` holds (at most `limit`).
  bool advanceUntil(const std::function<bool()>& done, double limit = 30) {
    for (double moved = 0; !done() && moved < limit; moved += 0.25) advance(0.25);
    return done();
  }

  // One path whose first hop is a loopback listener.
  std::string nodeStatusWithOnePath() {
    auto port = std::to_string(firstHop.local_endpoint().port());
    boost::json::object path{
        {"path_key", "192.0.2.131:443"}, {"node_ids", boost::json::array{1}},
        {"display_name", "Lab exit"},    {"exit_host", "192.0.2.131"},
        {"first_hop_host", "127.0.0.1"}, {"first_hop_address", "127.0.0.1:" + port}};
    return boost::json::serialize(
        boost::json::object{{"nodes", boost::json::array{boost::json::value(path)}}});
  }

  // Signs in through the sign-in screen, connects through the main screen.
  void signInAndConnect() {
    signIn();
    mainModel->appear();
    ASSERT_TRUE(until([&] { return mainModel->trafficManager()->currentTraffic().has_value(); }));
    mainModel->toggleConnection();
    ASSERT_TRUE(until([&] { return vpnManager->isConnected(); }));
    advance(ui::MainViewModel::minimumProgressSeconds);
    ASSERT_TRUE(mainModel->isRunning());
  }

  QCoreApplication& application = testsupport::testApplication();
  ui::Translations translations{application, QLocale(QLocale::English, QLocale::UnitedStates)};
  std::shared_ptr<platform::RecordingTunnelHost> host =
      std::make_shared<platform::RecordingTunnelHost>(io.get_executor());
  boost::asio::ip::tcp::acceptor firstHop{io, {boost::asio::ip::address_v4::loopback(), 0}};
  std::optional<std::string> nodeStatus;
  std::vector<QUrl> openedURLs;
  ui::UrlOpener recordURL = [this](const QUrl& url) { openedURLs.push_back(url); };
  std::shared_ptr<VPNManager> vpnManager;
  std::unique_ptr<ui::AppShell> shell;
  std::unique_ptr<ui::LoginViewModel> loginModel;
  std::unique_ptr<ui::MainViewModel> mainModel;
};

}  // namespace veskar::test
