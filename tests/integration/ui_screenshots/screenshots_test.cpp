// The real window, its QML and the Qt main executor over the core (the
// control server of the test lab, a recording tunnel host), rendered without
// a display: the sign-in screen and the main screen disconnected and connected
// (with its node list open), in English and in Chinese.

#include "platform/https_client.hpp"
#include "platform/recording_tunnel_host.hpp"
#include "platform/url.hpp"
#include "runtime/clock.hpp"
#include "tests/support/control/control_process.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/app_window.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"
#include "veskar/ui/phone_country.hpp"
#include "veskar/ui/qt_executor.hpp"
#include "veskar/ui/translations.hpp"

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/serialize.hpp>

#include <QDeadlineTimer>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QSet>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

namespace veskar::test {
namespace {

namespace asio = boost::asio;

QGuiApplication& guiApplication() {
  static int argc = 1;
  static char name[] = "veskar";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* application = [] {
    // No display needed; software rendering so the window can be grabbed.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QT_QUICK_BACKEND", "software", 0);
    return new QGuiApplication(argc, argv);
  }();
  return *application;
}

bool processUntil(const std::function<bool()>& done, int milliseconds = 15000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

void settle(int milliseconds) {
  processUntil([] { return false; }, milliseconds);
}

// Writes the window's picture and checks it is the window's size and shows
// more than a background.
void capture(QQuickWindow& window, const QString& name) {
  settle(300);
  QImage image = window.grabWindow();
  ASSERT_FALSE(image.isNull());
  QDir().mkpath(QStringLiteral(VESKAR_SCREENSHOT_DIR));
  QString path = QStringLiteral(VESKAR_SCREENSHOT_DIR "/") + name + QStringLiteral(".png");
  ASSERT_TRUE(image.save(path)) << path.toStdString();

  QImage written(path);
  EXPECT_EQ(written.size(), QSize(ui::AppWindow::width, ui::AppWindow::height))
      << name.toStdString();
  EXPECT_GT(std::filesystem::file_size(path.toStdString()), 4096u);
  QSet<QRgb> colours;
  for (int y = 0; y < written.height(); y += 4) {
    for (int x = 0; x < written.width(); x += 4) colours.insert(written.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 50) << name.toStdString() << " looks empty";
}

class Screenshots : public ::testing::TestWithParam<const char*> {};

TEST_P(Screenshots, SignInAndMainScreenDisconnectedAndConnected) {
  QGuiApplication& application = guiApplication();
  const QString language = QString::fromLatin1(GetParam());
  QLocale locale(language);
  ui::Translations translations(application, locale);

  testbed::test::ControlProcess server;
  ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1);
  ui::QtMainExecutor main;
  runtime::Executor executor = main.executor();
  auto clock = std::make_shared<runtime::SystemClock>();
  auto session = std::make_shared<platform::HttpsClient>(main.ioContext().get_executor());
  SharedStore store(std::make_shared<platform::FileSecretStore>(
                        server.directory() / "app" / "secrets", platform::sharedAccessGroup()),
                    std::make_shared<platform::UserDefaults>(server.directory() / "app", "veskar"));
  LoginManagerOptions loginOptions;
  loginOptions.baseURL = *platform::parseURL("https://127.0.0.1:" + std::to_string(server.port()));
  loginOptions.refreshLockPath = server.directory() / "app" / "refresh.lock";
  auto loginManager = LoginManager::create(executor, session, store, loginOptions);

  // The daemon's double: the tunnel comes up, one path through a first hop
  // that listens on loopback.
  auto host = std::make_shared<platform::RecordingTunnelHost>(executor);
  asio::ip::tcp::acceptor firstHop(main.ioContext(), {asio::ip::address_v4::loopback(), 0});
  boost::json::array nodes;
  for (auto [name, key] :
       {std::pair{"Tokyo · Osaka", "192.0.2.11:443"}, std::pair{"Frankfurt", "198.51.100.7:443"}}) {
    nodes.push_back(boost::json::object{
        {"path_key", key},
        {"node_ids", boost::json::array{1}},
        {"display_name", name},
        {"exit_host", key},
        {"first_hop_host", "127.0.0.1"},
        {"first_hop_address", "127.0.0.1:" + std::to_string(firstHop.local_endpoint().port())}});
  }
  std::string status = boost::json::serialize(boost::json::object{{"nodes", nodes}});
  host->replyToMessage = [status](const std::string&) { return status; };
  VPNManager::Options vpnOptions;
  vpnOptions.serverAddress = "127.0.0.1";
  vpnOptions.clock = clock;
  auto vpnManager = VPNManager::create(executor, host, std::move(vpnOptions));

  QUrl website(QStringLiteral("https://www.lab.example/"));
  ui::AppShell shell(executor, loginManager, vpnManager);
  ui::LoginViewModel loginModel({executor, loginManager, clock, website, {}, locale});
  ui::MainViewModel mainModel({executor, loginManager, vpnManager, clock, website, {}, website});
  ui::AppWindow window(shell, loginModel, mainModel);
  ASSERT_TRUE(window.window());
  QQuickWindow& quickWindow = *window.window();
  settle(1300);  // the entrance animations
  capture(quickWindow, QStringLiteral("signin_") + language);

  loginModel.setSelectedCountry(ui::PhoneCountry::indexOf({"US", "1"}));
  loginModel.setPhoneNumber(QStringLiteral("5550100"));
  loginModel.setPassword(QString::fromLatin1(testbed::test::labPassword));
  loginModel.login();
  ASSERT_TRUE(processUntil([&] { return shell.isLoggedIn(); }));
  ASSERT_TRUE(
      processUntil([&] { return mainModel.trafficManager()->currentTraffic().has_value(); }));
  settle(1300);
  capture(quickWindow, QStringLiteral("main_disconnected_") + language);

  mainModel.toggleConnection();
  ASSERT_TRUE(processUntil([&] { return mainModel.isRunning() && !mainModel.isLoading(); }));
  EXPECT_TRUE(shell.isConnected());
  mainModel.setShowingNodeInfo(true);
  ASSERT_TRUE(processUntil([&] { return mainModel.nodeInfos().size() == 2; }));
  capture(quickWindow, QStringLiteral("main_connected_") + language);

  mainModel.setShowingNodeInfo(false);
  mainModel.toggleConnection();
  ASSERT_TRUE(processUntil([&] { return !mainModel.isRunning() && !mainModel.isLoading(); }));
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, ::testing::Values("en_US", "zh_CN"));

}  // namespace
}  // namespace veskar::test
