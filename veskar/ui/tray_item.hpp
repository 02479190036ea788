#pragma once

// The tray item, present only while the tunnel is connected: the product name,
// the tunnel's state, disconnect, open the window, disconnect and quit. A left
// click opens the window.

#include "veskar/ui/app_shell.hpp"

#include <QLabel>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

namespace veskar::ui {

class TrayItem final : public QObject {
  Q_OBJECT

 public:
  explicit TrayItem(AppShell& shell, QObject* parent = nullptr);
  ~TrayItem() override;

  // Whether the item exists (it is shown where the desktop has a tray).
  bool exists() const { return icon_ != nullptr; }
  QMenu* menu() const { return menu_.get(); }

 private:
  void follow();
  void build();
  void showState();

  AppShell& shell_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  QLabel* stateLabel_ = nullptr;  // owned by the menu
};

}  // namespace veskar::ui
