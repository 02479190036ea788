#include "veskar/cli/commands.hpp"

#include "veskar/cli/error_text.hpp"
#include "veskar/control/texts.hpp"
#include "veskar/tunnel/failure.hpp"

#include <boost/json/serialize.hpp>

#include <array>
#include <ostream>
#include <utility>

namespace veskar::cli {

void printJSON(App& app, const boost::json::value& value) {
  app.out << boost::json::serialize(value) << std::endl;
}

std::string statusText(platform::TunnelStatus status) {
  if (status == platform::TunnelStatus::invalid) status = platform::TunnelStatus::disconnected;
  return localized("vpn.status." + std::string(platform::tunnelStatusName(status)));
}

runtime::Task<int> runCommand(App& app) {
  using Command = runtime::Task<int> (*)(App&);
  static constexpr std::array<std::pair<std::string_view, Command>, 9> commands{{
      {"login", loginCommand},
      {"logout", logoutCommand},
      {"traffic", trafficCommand},
      {"connect", connectCommand},
      {"disconnect", disconnectCommand},
      {"status", statusCommand},
      {"high-speed", highSpeedCommand},
      {"lockdown", lockdownCommand},
      {"nodes", nodesCommand},
  }};
  std::exception_ptr failure;
  try {
    for (const auto& [name, command] : commands) {
      if (name == app.invocation.command) co_return co_await command(app);
    }
    app.err << "veskarctl: unknown command " << app.invocation.command << "\n";
    co_return exitUsage;
  } catch (...) {
    failure = std::current_exception();
  }
  bool signingIn = app.invocation.command == "login";
  // A sign-in the server no longer accepts is over: say so everywhere after.
  if (!signingIn && describeFailure(failure).kind == FailureKind::sessionExpired) {
    app.login->signOut();
  }
  app.err << errorText(failure, signingIn) << std::endl;
  co_return exitFailure;
}

}  // namespace veskar::cli
