#pragma once

// Tells the user through the desktop's notifications what they cannot see
// while the window is hidden: the tunnel went down, or connecting failed.
// Notifications go to org.freedesktop.Notifications on the session bus without
// waiting for an answer, so a desktop without that service costs nothing.

#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/main_view_model.hpp"

#include <QObject>
#include <QString>

#include <functional>

namespace veskar::ui {

class DesktopNotifier final : public QObject {
  Q_OBJECT

 public:
  using Send = std::function<void(const QString& summary, const QString& body)>;

  DesktopNotifier(AppShell& shell, MainViewModel& mainModel, std::function<bool()> windowHidden,
                  Send send = notifyOverSessionBus, QObject* parent = nullptr);

  static void notifyOverSessionBus(const QString& summary, const QString& body);

 private:
  void tell(const QString& summary, const QString& body);

  std::function<bool()> windowHidden_;
  Send send_;
};

}  // namespace veskar::ui
