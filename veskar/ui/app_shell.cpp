#include "veskar/ui/app_shell.hpp"

#include "runtime/spawn.hpp"

#include <utility>

namespace veskar::ui {

AppShell::AppShell(runtime::Executor executor, std::shared_ptr<LoginManager> loginManager,
                   std::shared_ptr<VPNManager> vpnManager, QObject* parent)
    : QObject(parent),
      executor_(std::move(executor)),
      loginManager_(std::move(loginManager)),
      vpnManager_(std::move(vpnManager)) {
  loginObserver_ = loginManager_->observers().add([this] { update(); });
  vpnObserver_ = vpnManager_->observers().add([this] { update(); });
  isLoggedIn_ = loginManager_->isLoggedIn();
  isConnected_ = vpnManager_->isConnected() || vpnManager_->isReconnecting();
}

AppShell::~AppShell() {
  loginManager_->observers().remove(loginObserver_);
  vpnManager_->observers().remove(vpnObserver_);
}

void AppShell::update() {
  if (loginManager_->isLoggedIn() != isLoggedIn_) {
    isLoggedIn_ = loginManager_->isLoggedIn();
    emit isLoggedInChanged();
  }
  // A tunnel coming back by itself keeps its tray item, which says so.
  bool running = vpnManager_->isConnected() || vpnManager_->isReconnecting();
  if (running != isConnected_) {
    isConnected_ = running;
    emit isConnectedChanged();
    // A start's late "connecting" after "connected" is no drop.
    if (!running && !vpnManager_->isConnecting()) {
      if (!disconnectRequested_) emit tunnelDropped();
      disconnectRequested_ = false;
    }
  }
  emit stateTextChanged();
}

QString AppShell::stateText() const {
  if (!vpnManager_->isServiceReachable()) return qtTrId("vpn.status.service_stopped");
  if (vpnManager_->isReconnecting()) return qtTrId("vpn.status.reasserting");
  return qtTrId(vpnManager_->isConnected() ? "vpn.status.connected" : "vpn.status.disconnected");
}

void AppShell::initialize() { runtime::spawn(executor_, vpnManager_->initialize(loginManager_)); }

bool AppShell::requestQuit() {
  if (!isConnected_) return true;
  emit hideWindowRequested();
  return false;
}

void AppShell::openWindow() { emit showWindowRequested(); }

void AppShell::disconnect() {
  disconnectRequested_ = true;
  runtime::spawn(executor_, vpnManager_->disconnect());
}

void AppShell::disconnectAndQuit() {
  if (!isConnected_) {
    emit terminateRequested();
    return;
  }
  disconnectRequested_ = true;
  runtime::spawn(executor_, disconnectThenTerminate(QPointer<AppShell>(this), vpnManager_));
}

runtime::Task<void> AppShell::disconnectThenTerminate(QPointer<AppShell> self,
                                                      std::shared_ptr<VPNManager> vpnManager) {
  try {
    co_await vpnManager->disconnect();
  } catch (...) {
    // Quitting was asked for; a failed disconnect does not keep the process.
  }
  if (self) emit self->terminateRequested();
}

}  // namespace veskar::ui
