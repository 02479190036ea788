// The paths the tunnel uses, each with the delay to its first hop; with
// --watch again every 3 seconds until interrupted, and at once when the
// tunnel or the service goes away or comes back.

#include "veskar/cli/commands.hpp"
#include "veskar/control/texts.hpp"

#include <boost/asio/signal_set.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <csignal>
#include <ostream>

namespace veskar::cli {

namespace {

// What a watcher must see at once when it changes.
struct Shown {
  bool serviceRunning = true;
  bool connected = false;
  friend bool operator==(const Shown&, const Shown&) = default;
};

Shown shownState(const App& app) { return {app.vpn->isServiceReachable(), app.vpn->isConnected()}; }

void printNodes(App& app) {
  const auto& rows = app.vpn->nodeInfos();
  auto state = shownState(app);
  if (app.invocation.json) {
    boost::json::array nodes;
    for (const auto& row : rows) {
      nodes.push_back({{"id", row.id}, {"name", row.name}, {"latency", row.latency}});
    }
    printJSON(app, boost::json::object{{"nodes", std::move(nodes)},
                                       {"connected", state.connected},
                                       {"serviceRunning", state.serviceRunning}});
    return;
  }
  if (!state.serviceRunning) {
    app.out << localized("error.service.not_running") << std::endl;
    return;
  }
  if (!state.connected) {
    app.out << localized("cli.tunnel.not_connected") << std::endl;
    return;
  }
  if (rows.empty()) {
    app.out << localized("vpn.nodes.none_connected") << std::endl;
    return;
  }
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.name.size());
  app.out << localized("vpn.nodes.connected") << "\n";
  for (const auto& row : rows) {
    app.out << "  " << row.name << std::string(width - row.name.size() + 2, ' ') << row.latency
            << "\n";
  }
  app.out << std::flush;
}

}  // namespace

runtime::Task<int> nodesCommand(App& app) {
  co_await app.reachDaemon();
  co_await app.vpn->initialize(app.login);
  if (!app.vpn->isConnected()) {
    app.err << localized("cli.tunnel.not_connected") << std::endl;
    co_return exitFailure;
  }
  if (!app.invocation.watch) {
    co_await app.vpn->refreshNodeStatus();
    printNodes(app);
    co_return exitSuccess;
  }

  bool interrupted = false;
  runtime::CancelSource wake;
  boost::asio::signal_set signals(app.io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (error) return;
    interrupted = true;
    wake.cancel();
  });
  Shown printed;
  auto observer = app.vpn->observers().add([&] {
    if (shownState(app) != printed) wake.cancel();
  });
  while (!interrupted) {
    co_await app.vpn->refreshNodeStatus();
    if (interrupted) break;
    printed = shownState(app);
    printNodes(app);
    if (!app.invocation.json) app.out << std::endl;
    wake = runtime::CancelSource{};
    try {
      co_await app.clock->sleep(VPNManager::statusPollingInterval, wake.token());
    } catch (const runtime::CancellationError&) {
      // Interrupted, or something to show now.
    }
  }
  app.vpn->observers().remove(observer);
  signals.cancel();
  co_return exitSuccess;
}

}  // namespace veskar::cli
