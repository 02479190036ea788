// veskar: the desktop application.

#include "platform/https_client.hpp"
#include "platform/tunnel_host_client.hpp"
#include "runtime/clock.hpp"
#include "veskar/control/control_client.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/control/shared_store.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/app_window.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"
#include "veskar/ui/qt_executor.hpp"
#include "veskar/ui/translations.hpp"
#include "veskar/ui/tray_item.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>

#include <memory>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("veskar"));
  QApplication::setDesktopFileName(QStringLiteral("veskar"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/veskar/icons/veskar.svg")));
  // The window's close decides itself whether the process ends (see AppShell).
  QApplication::setQuitOnLastWindowClosed(false);
  veskar::ui::Translations translations(application, QLocale::system());

  veskar::ui::QtMainExecutor main;
  runtime::Executor executor = main.executor();
  auto clock = std::make_shared<runtime::SystemClock>();
  auto session = std::make_shared<platform::HttpsClient>(main.ioContext().get_executor());
  auto loginManager =
      veskar::LoginManager::create(executor, session, veskar::SharedStore::standard());
  veskar::VPNManager::Options vpnOptions;
  vpnOptions.serverAddress = std::string(veskar::defaultBaseURL().host());
  vpnOptions.clock = clock;
  auto vpnManager = veskar::VPNManager::create(
      executor, platform::TunnelHostClient::create(executor), std::move(vpnOptions));

  QUrl website(QStringLiteral(VESKAR_WEBSITE_BASE_URL));
  auto openURL = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  {
    veskar::ui::AppShell shell(executor, loginManager, vpnManager);
    veskar::ui::LoginViewModel loginModel(
        {executor, loginManager, clock, website, openURL, QLocale::system()});
    veskar::ui::MainViewModel mainModel({executor, loginManager, vpnManager, clock, website,
                                         openURL, veskar::ui::websitePage(website, "help")});
    veskar::ui::AppWindow window(shell, loginModel, mainModel);
    if (!window.window()) return 1;
    veskar::ui::TrayItem tray(shell);
    int status = QApplication::exec();
    if (status != 0) return status;
  }
  return 0;
}
