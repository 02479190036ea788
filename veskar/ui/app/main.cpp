// veskar: the desktop application.

#include "runtime/version.hpp"
#include "veskar/ui/app_core.hpp"
#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/app_window.hpp"
#include "veskar/ui/desktop_notifier.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"
#include "veskar/ui/qt_executor.hpp"
#include "veskar/ui/single_instance.hpp"
#include "veskar/ui/start_at_login.hpp"
#include "veskar/ui/translations.hpp"
#include "veskar/ui/tray_item.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>

#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
  // Answered before Qt starts, which needs a display.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::cout << runtime::versionLine("veskar") << "\n";
      return 0;
    }
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("veskar"));
  QApplication::setDesktopFileName(QStringLiteral("veskar"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/veskar/icons/veskar.svg")));
  // Whether the process ends is the shell's decision (see AppShell::requestQuit).
  QApplication::setQuitOnLastWindowClosed(false);
  veskar::ui::SingleInstance instance;
  if (!instance.claim()) {
    qInfo("veskar: already running; its window was asked to show");
    return 0;
  }
  veskar::ui::Translations translations(application, QLocale::system());

  veskar::ui::QtMainExecutor main;
  auto core = veskar::ui::AppCore::create(main);
  QUrl website(QStringLiteral(VESKAR_WEBSITE_BASE_URL));
  auto openURL = [](const QUrl& url) { QDesktopServices::openUrl(url); };

  veskar::ui::AppShell shell(core.executor, core.loginManager, core.vpnManager);
  veskar::ui::LoginViewModel loginModel(
      {core.executor, core.loginManager, core.clock, website, openURL, QLocale::system()});
  // Linux has no settings page that grants the daemon's group: the help page says how.
  veskar::ui::MainViewModel mainModel({core.executor, core.loginManager, core.vpnManager,
                                       core.clock, website, openURL,
                                       veskar::ui::websitePage(website, QStringLiteral("help"))});
  veskar::ui::StartAtLogin startAtLogin(veskar::ui::StartAtLogin::standardEntry(),
                                        QApplication::applicationFilePath().toStdString());
  veskar::ui::AppWindow window(shell, loginModel, mainModel, &startAtLogin);
  if (!window.window()) return 1;
  veskar::ui::TrayItem tray(shell);
  QQuickWindow* shown = window.window();
  veskar::ui::DesktopNotifier notifier(shell, mainModel, [shown] {
    return !shown->isVisible() || shown->visibility() == QWindow::Minimized;
  });
  QObject::connect(&instance, &veskar::ui::SingleInstance::activationRequested, &shell, [&shell] {
    qInfo("veskar: another launch asked for the window");
    shell.openWindow();
  });
  return QApplication::exec();
}
