#include "veskar/ui/desktop_notifier.hpp"

#include "platform/session_bus.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

namespace veskar::ui {

DesktopNotifier::DesktopNotifier(AppShell& shell, MainViewModel& mainModel,
                                 std::function<bool()> windowHidden, Send send, QObject* parent)
    : QObject(parent), windowHidden_(std::move(windowHidden)), send_(std::move(send)) {
  connect(&shell, &AppShell::tunnelDropped, this, [this] {
    tell(qtTrId("vpn.notification.dropped"), qtTrId("vpn.notification.dropped_body"));
  });
  connect(&mainModel, &MainViewModel::toggleFailed, this,
          [this](const QString& text) { tell(qtTrId("vpn.notification.failed"), text); });
}

void DesktopNotifier::tell(const QString& summary, const QString& body) {
  if (windowHidden_()) send_(summary, body);
}

void DesktopNotifier::notifyOverSessionBus(const QString& summary, const QString& body) {
  if (!platform::sessionBusNamed()) return;
  auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                QStringLiteral("/org/freedesktop/Notifications"),
                                                QStringLiteral("org.freedesktop.Notifications"),
                                                QStringLiteral("Notify"));
  QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("veskar")}};
  message << qtTrId("Veskar") << 0U << QStringLiteral("veskar") << summary << body << QStringList()
          << hints << -1;
  QDBusConnection::sessionBus().send(message);
}

}  // namespace veskar::ui
