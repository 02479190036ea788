#include "veskar/ui/app_window.hpp"

#include <QCoreApplication>
#include <QQmlContext>
#include <QSystemTrayIcon>

namespace veskar::ui {

AppWindow::AppWindow(AppShell& shell, LoginViewModel& loginModel, MainViewModel& mainModel,
                     QObject* startAtLogin) {
  // An ended session is told on the sign-in screen that replaces the main one.
  QObject::connect(&mainModel, &MainViewModel::sessionEnded, &loginModel,
                   &LoginViewModel::showNotice);
  engine_.rootContext()->setContextProperty(QStringLiteral("shell"), &shell);
  engine_.rootContext()->setContextProperty(QStringLiteral("loginModel"), &loginModel);
  engine_.rootContext()->setContextProperty(QStringLiteral("mainModel"), &mainModel);
  engine_.rootContext()->setContextProperty(QStringLiteral("startAtLogin"), startAtLogin);
  engine_.load(QUrl(QStringLiteral("qrc:/veskar/qml/Main.qml")));
  if (engine_.rootObjects().isEmpty()) return;
  window_ = qobject_cast<QQuickWindow*>(engine_.rootObjects().constFirst());
  if (!window_) return;

  QQuickWindow* window = window_;
  // Without a tray nothing could bring a hidden window back.
  QObject::connect(&shell, &AppShell::hideWindowRequested, window, [window] {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      window->hide();
    } else {
      window->showMinimized();
    }
  });
  QObject::connect(&shell, &AppShell::showWindowRequested, window, [window] {
    window->showNormal();  // also out of the minimised state
    window->raise();
    window->requestActivate();
  });
  QObject::connect(&shell, &AppShell::terminateRequested, QCoreApplication::instance(),
                   &QCoreApplication::quit, Qt::QueuedConnection);
  QObject::connect(window, &QWindow::activeChanged, &mainModel,
                   [window, &mainModel] { mainModel.setWindowActive(window->isActive()); });
  mainModel.setWindowActive(window->isActive());
}

}  // namespace veskar::ui
