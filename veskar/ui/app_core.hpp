#pragma once

// The application core as the desktop program runs it: the login manager
// against the built-in control server, the VPN manager over the daemon's
// socket ($VESKAR_SOCKET, else the system's), on the Qt main executor.

#include "runtime/clock.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/qt_executor.hpp"

#include <filesystem>
#include <memory>

namespace veskar::ui {

struct AppCore {
  runtime::Executor executor;
  std::shared_ptr<runtime::Clock> clock;
  std::shared_ptr<LoginManager> loginManager;
  std::shared_ptr<VPNManager> vpnManager;

  static AppCore create(QtMainExecutor& main);
  // "$VESKAR_SOCKET", else "/run/veskar/flowgate.sock".
  static std::filesystem::path daemonSocket();
};

}  // namespace veskar::ui
