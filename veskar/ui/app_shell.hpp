#pragma once

// The application's shell: which screen the window shows, whether the tray
// item exists (only while the tunnel is connected), and the quit rules: a quit
// while connected only hides the window; disconnect-and-quit disconnects first
// and quits even when the disconnect fails.

#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <memory>

namespace veskar::ui {

class AppShell final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
  Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)

 public:
  AppShell(runtime::Executor executor, std::shared_ptr<LoginManager> loginManager,
           std::shared_ptr<VPNManager> vpnManager, QObject* parent = nullptr);
  ~AppShell() override;

  bool isLoggedIn() const { return isLoggedIn_; }
  bool isConnected() const { return isConnected_; }
  // The tunnel's state in words, as the tray shows it.
  QString stateText() const;

  // Once, when the window is first shown: loads the tunnel's state.
  Q_INVOKABLE void initialize();
  // A quit request (the window closed, the quit shortcut, the session): true
  // when the process may end now; while connected it hides the window instead.
  Q_INVOKABLE bool requestQuit();
  // The tray's "open" action.
  Q_INVOKABLE void openWindow();
  // The tray's "disconnect" action.
  Q_INVOKABLE void disconnect();
  Q_INVOKABLE void disconnectAndQuit();

 signals:
  void isLoggedInChanged();
  void isConnectedChanged();
  void stateTextChanged();
  void hideWindowRequested();
  void showWindowRequested();
  // The process should end now.
  void terminateRequested();
  // The tunnel went down without the tray's disconnect (the window's own
  // controls need the window shown).
  void tunnelDropped();

 private:
  void update();
  static runtime::Task<void> disconnectThenTerminate(QPointer<AppShell> self,
                                                     std::shared_ptr<VPNManager> vpnManager);

  runtime::Executor executor_;
  std::shared_ptr<LoginManager> loginManager_;
  std::shared_ptr<VPNManager> vpnManager_;
  std::uint64_t loginObserver_ = 0;
  std::uint64_t vpnObserver_ = 0;
  bool isLoggedIn_ = false;
  bool isConnected_ = false;
  bool disconnectRequested_ = false;
};

}  // namespace veskar::ui
