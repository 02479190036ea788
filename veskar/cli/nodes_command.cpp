// The paths the tunnel uses, each with the delay to its first hop; with
// --watch again every 3 seconds until interrupted.

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

void printNodes(App& app) {
  const auto& rows = app.vpn->nodeInfos();
  if (app.invocation.json) {
    boost::json::array nodes;
    for (const auto& row : rows) {
      nodes.push_back({{"id", row.id}, {"name", row.name}, {"latency", row.latency}});
    }
    printJSON(app, boost::json::object{{"nodes", std::move(nodes)}});
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

  runtime::CancelSource interrupted;
  boost::asio::signal_set signals(app.io, SIGINT, SIGTERM);
  signals.async_wait([interrupted](const boost::system::error_code& error, int) {
    if (!error) interrupted.cancel();
  });
  auto token = interrupted.token();
  while (!token.isCancelled()) {
    co_await app.vpn->refreshNodeStatus();
    if (token.isCancelled()) break;
    printNodes(app);
    if (!app.invocation.json) app.out << std::endl;
    try {
      co_await app.clock->sleep(VPNManager::statusPollingInterval, token);
    } catch (const runtime::CancellationError&) {
      break;
    }
  }
  co_return exitSuccess;
}

}  // namespace veskar::cli
