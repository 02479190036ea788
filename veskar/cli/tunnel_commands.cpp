// Turning the tunnel on and off, its status, and the high-speed and lockdown
// switches.

#include "veskar/cli/commands.hpp"
#include "veskar/cli/error_text.hpp"
#include "veskar/control/shared_store.hpp"
#include "veskar/control/texts.hpp"

#include <boost/json/object.hpp>

#include <optional>
#include <ostream>

namespace veskar::cli {

namespace {

using platform::TunnelStatus;

// How long `disconnect` waits for the daemon to report the tunnel down.
constexpr double kStopWait = 10;
constexpr double kStopCheckInterval = 0.1;

std::optional<std::string> identifierOf(App& app) {
  const auto& manager = app.vpn->manager();
  if (!manager || manager->identifier.empty()) return std::nullopt;
  return manager->identifier;
}

runtime::Task<platform::TunnelConnection> currentConnection(App& app) {
  auto identifier = identifierOf(app);
  if (!identifier) co_return platform::TunnelConnection{};
  co_return co_await app.host->connection(*identifier);
}

// Prints each status the tunnel passes through while it lives.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(App& app) : app_(app) {
    token_ = app.host->addStatusObserver([this](const platform::TunnelStatusChange& change) {
      auto identifier = identifierOf(app_);
      if (!identifier || change.identifier != *identifier || change.status == last_) return;
      last_ = change.status;
      app_.out << statusText(change.status) << std::endl;
    });
  }
  ~ProgressPrinter() { app_.host->removeStatusObserver(token_); }
  ProgressPrinter(const ProgressPrinter&) = delete;
  ProgressPrinter& operator=(const ProgressPrinter&) = delete;

  bool printed(TunnelStatus status) const { return last_ == status; }

 private:
  App& app_;
  std::uint64_t token_ = 0;
  std::optional<TunnelStatus> last_;
};

}  // namespace

runtime::Task<int> connectCommand(App& app) {
  if (!app.login->isLoggedIn()) {
    app.err << localized("cli.not_signed_in") << std::endl;
    co_return exitFailure;
  }
  co_await app.reachDaemon();
  co_await app.vpn->initialize(app.login);
  if (app.vpn->isConnected()) {
    app.out << statusText(TunnelStatus::connected) << std::endl;
    co_return exitSuccess;
  }
  ProgressPrinter progress(app);
  bool connected = co_await app.vpn->connect(app.login);
  if (connected) {
    if (!progress.printed(TunnelStatus::connected)) {
      app.out << statusText(TunnelStatus::connected) << std::endl;
    }
    co_return exitSuccess;
  }
  std::string text = localized("vpn.connection.failed");
  // The daemon keeps why the provider's start failed.
  auto connection = co_await currentConnection(app);
  if (connection.lastDisconnectError) text += " " + connection.lastDisconnectError->message;
  app.err << text << std::endl;
  co_return exitFailure;
}

runtime::Task<int> disconnectCommand(App& app) {
  co_await app.reachDaemon();
  co_await app.vpn->initialize(app.login);
  co_await app.vpn->disconnect();
  double until = app.clock->uptime() + kStopWait;
  while (app.clock->uptime() < until) {
    auto status = (co_await currentConnection(app)).status;
    if (status == TunnelStatus::disconnected || status == TunnelStatus::invalid) break;
    co_await app.clock->sleep(kStopCheckInterval, runtime::CancelToken{});
  }
  app.out << statusText(TunnelStatus::disconnected) << std::endl;
  co_return exitSuccess;
}

runtime::Task<int> statusCommand(App& app) {
  const auto& info = app.login->currentLoginInfo();
  bool highSpeed = app.login->store().highSpeedEnabled();

  std::optional<platform::TunnelConnection> connection;
  std::optional<bool> lockdown;
  std::exception_ptr unreachable;
  try {
    co_await app.reachDaemon();
    lockdown = co_await app.host->lockdown();
    co_await app.vpn->initialize(app.login);
    connection = co_await currentConnection(app);
  } catch (...) {
    unreachable = std::current_exception();
  }

  if (app.invocation.json) {
    boost::json::object status{{"signedIn", app.login->isLoggedIn()},
                               {"phone", info ? boost::json::value(info->phone) : nullptr},
                               {"highSpeedEnabled", highSpeed}};
    status["lockdown"] = lockdown ? boost::json::value(*lockdown) : nullptr;
    if (connection) {
      auto state = connection->status == TunnelStatus::invalid ? TunnelStatus::disconnected
                                                               : connection->status;
      status["tunnel"] = platform::tunnelStatusName(state);
      status["connected"] = state == TunnelStatus::connected;
      if (const auto& last = connection->lastDisconnectError) {
        status["lastError"] = {
            {"domain", last->domain}, {"code", last->code}, {"message", last->message}};
      }
    } else {
      status["tunnel"] = nullptr;
      status["error"] = errorText(unreachable);
    }
    printJSON(app, status);
  } else {
    app.out << localizedFormat("cli.status.account",
                               {info ? info->phone : localized("cli.not_signed_in")})
            << "\n"
            << localizedFormat("cli.status.high_speed",
                               {localized(highSpeed ? "common.on" : "common.off")})
            << "\n";
    if (lockdown) {
      app.out << localizedFormat("cli.status.lockdown",
                                 {localized(*lockdown ? "common.on" : "common.off")})
              << "\n";
    }
    if (connection) {
      app.out << localizedFormat("cli.status.tunnel", {statusText(connection->status)}) << "\n";
      if (const auto& last = connection->lastDisconnectError) {
        app.out << localizedFormat("cli.status.last_error", {last->message}) << "\n";
      }
    }
    app.out << std::flush;
  }
  if (unreachable) {
    if (!app.invocation.json) app.err << errorText(unreachable) << std::endl;
    co_return exitFailure;
  }
  co_return exitSuccess;
}

// As the main screen's switch: the setting is stored for the next start, and
// a running tunnel is told now. A daemon out of reach changes nothing of that.
runtime::Task<int> highSpeedCommand(App& app) {
  bool enabled = app.invocation.operands.at(0) == "on";
  app.login->store().defaults().setBool(kHighSpeedEnabledKey, enabled);
  co_await app.vpn->initialize(app.login);
  if (app.vpn->isConnected()) co_await app.vpn->sendHighSpeedEnabled(enabled);
  app.out << localized(enabled ? "vpn.high_speed.enabled_toast" : "vpn.high_speed.disabled_toast")
          << std::endl;
  co_return exitSuccess;
}

// The daemon's setting, unlike high speed: it keeps and applies it, so a
// daemon out of reach is a failure.
runtime::Task<int> lockdownCommand(App& app) {
  bool enabled = app.invocation.operands.at(0) == "on";
  co_await app.host->setLockdown(enabled);
  app.out << localized(enabled ? "vpn.lockdown.enabled_toast" : "vpn.lockdown.disabled_toast")
          << std::endl;
  co_return exitSuccess;
}

}  // namespace veskar::cli
