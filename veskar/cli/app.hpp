#pragma once

// The application core as the commands use it: one login manager, one VPN
// manager over the daemon's socket, on one io_context (the main executor).

#include "platform/tunnel_host.hpp"
#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "veskar/cli/arguments.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <boost/asio/io_context.hpp>

#include <iosfwd>
#include <memory>

namespace veskar::cli {

struct App {
  // Throws UsageError-worthy std::invalid_argument for a control URL that is no URL.
  App(boost::asio::io_context& io, const Invocation& invocation, std::ostream& out,
      std::ostream& err);

  // Throws what reaching the daemon threw (the service is not running,
  // permission denied).
  runtime::Task<void> reachDaemon();

  boost::asio::io_context& io;
  const Invocation& invocation;
  std::ostream& out;
  std::ostream& err;
  std::shared_ptr<runtime::Clock> clock;
  std::shared_ptr<platform::TunnelHost> host;
  std::shared_ptr<LoginManager> login;
  std::shared_ptr<VPNManager> vpn;
};

// The command the invocation names; its exit status. Failures are reported on
// `app.err` in the application's texts.
runtime::Task<int> runCommand(App& app);

}  // namespace veskar::cli
