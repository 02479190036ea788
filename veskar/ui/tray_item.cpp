#include "veskar/ui/tray_item.hpp"

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QWidgetAction>

namespace veskar::ui {

TrayItem::TrayItem(AppShell& shell, QObject* parent) : QObject(parent), shell_(shell) {
  connect(&shell_, &AppShell::isConnectedChanged, this, &TrayItem::follow);
  connect(&shell_, &AppShell::stateTextChanged, this, &TrayItem::showState);
  follow();
}

TrayItem::~TrayItem() = default;

void TrayItem::follow() {
  if (!shell_.isConnected()) {
    // Removed, not hidden: the item exists only while connected.
    icon_.reset();
    stateLabel_ = nullptr;
    menu_.reset();
    return;
  }
  if (!icon_) build();
}

void TrayItem::showState() {
  if (stateLabel_) stateLabel_->setText(shell_.stateText());
}

void TrayItem::build() {
  menu_ = std::make_unique<QMenu>();
  QAction* title =
      menu_->addAction(QIcon(QStringLiteral(":/veskar/icons/shield.svg")), qtTrId("Veskar"));
  QFont headline = title->font();
  headline.setBold(true);
  title->setFont(headline);
  title->setEnabled(false);

  auto* status = new QWidgetAction(menu_.get());
  stateLabel_ = new QLabel(shell_.stateText());
  stateLabel_->setStyleSheet(QStringLiteral("color: #2e9d4f; padding: 4px 12px;"));
  status->setDefaultWidget(stateLabel_);
  menu_->addAction(status);
  menu_->addSeparator();

  connect(menu_->addAction(qtTrId("vpn.disconnect")), &QAction::triggered, &shell_,
          &AppShell::disconnect);
  connect(menu_->addAction(qtTrId("app.open")), &QAction::triggered, &shell_,
          &AppShell::openWindow);
  menu_->addSeparator();
  connect(menu_->addAction(qtTrId("app.disconnect_and_quit")), &QAction::triggered, &shell_,
          &AppShell::disconnectAndQuit);

  icon_ =
      std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/veskar/icons/tray-connected.svg")));
  icon_->setToolTip(qtTrId("Veskar"));
  icon_->setContextMenu(menu_.get());
  connect(icon_.get(), &QSystemTrayIcon::activated, &shell_,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) shell_.openWindow();
          });
  icon_->show();
}

}  // namespace veskar::ui
