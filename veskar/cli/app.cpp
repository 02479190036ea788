#include "veskar/cli/app.hpp"

#include "platform/tunnel_host_client.hpp"
#include "platform/url.hpp"
#include "veskar/control/control_client.hpp"
#include "veskar/control/shared_store.hpp"

#include <stdexcept>

namespace veskar::cli {

namespace {

LoginManagerOptions loginOptions(const Invocation& invocation,
                                 std::shared_ptr<runtime::Clock> clock) {
  LoginManagerOptions options;
  if (invocation.controlURL) {
    auto url = platform::parseURL(*invocation.controlURL);
    if (!url || url->scheme() != "https" || url->host().empty()) {
      throw std::invalid_argument("--control-url needs an https URL: " + *invocation.controlURL);
    }
    options.baseURL = *url;
  }
  options.clock = std::move(clock);
  return options;
}

}  // namespace

App::App(boost::asio::io_context& context, const Invocation& given, std::ostream& output,
         std::ostream& errors)
    : io(context),
      invocation(given),
      out(output),
      err(errors),
      clock(std::make_shared<runtime::SystemClock>()) {
  auto options = loginOptions(invocation, clock);
  auto serverHost = std::string(options.baseURL.host());
  login = LoginManager::create(io.get_executor(), makeEphemeralSession(io.get_executor()),
                               SharedStore::standard(), options);
  host = platform::TunnelHostClient::create(io.get_executor(), invocation.socket);
  VPNManager::Options vpnOptions;
  vpnOptions.serverAddress = serverHost;
  vpnOptions.clock = clock;
  vpn = VPNManager::create(io.get_executor(), host, std::move(vpnOptions));
}

runtime::Task<void> App::reachDaemon() { co_await host->loadAllFromPreferences(); }

}  // namespace veskar::cli
