// Signing in and out, and the account's traffic.

#include "veskar/cli/commands.hpp"
#include "veskar/cli/password.hpp"
#include "veskar/control/texts.hpp"
#include "veskar/control/traffic_info.hpp"

#include <boost/json/object.hpp>

#include <ostream>

namespace veskar::cli {

runtime::Task<int> loginCommand(App& app) {
  auto password =
      readPassword(app.invocation.passwordStdin, localized("cli.login.password_prompt"));
  if (password.end == LineEnd::interrupted) co_return exitInterrupted;
  if (password.end != LineEnd::entered || password.text.empty()) {
    app.err << localized("cli.login.no_password") << std::endl;
    co_return exitUsage;
  }
  co_await app.login->login(app.invocation.phone, std::move(password.text));
  const auto& info = app.login->currentLoginInfo();
  app.out << localizedFormat("cli.login.signed_in", {info ? info->phone : app.invocation.phone})
          << std::endl;
  co_return exitSuccess;
}

// As the main screen's sign-out: a running tunnel is stopped first; signing
// out goes on when the daemon cannot be reached.
runtime::Task<int> logoutCommand(App& app) {
  co_await app.vpn->initialize(app.login);
  if (app.vpn->isConnected()) co_await app.vpn->disconnect();
  app.login->signOut();
  app.out << localized("cli.logout.signed_out") << std::endl;
  co_return exitSuccess;
}

runtime::Task<int> trafficCommand(App& app) {
  if (!app.login->isLoggedIn()) {
    app.err << localized("cli.not_signed_in") << std::endl;
    co_return exitFailure;
  }
  auto traffic = co_await app.login->fetchTraffic();
  auto remaining = TrafficInfo::format(traffic.remainingBytes);
  if (app.invocation.json) {
    printJSON(app, boost::json::object{{"remainingBytes", traffic.remainingBytes},
                                       {"rechargeBaselineBytes", traffic.rechargeBaselineBytes},
                                       {"remaining", remaining}});
  } else {
    app.out << localizedFormat("cli.traffic.remaining", {remaining}) << std::endl;
  }
  co_return exitSuccess;
}

}  // namespace veskar::cli
