#include "veskar/ui/app_core.hpp"

#include "platform/https_client.hpp"
#include "platform/tunnel_host_client.hpp"
#include "veskar/control/control_client.hpp"
#include "veskar/control/shared_store.hpp"

#include <cstdlib>
#include <string>

namespace veskar::ui {

std::filesystem::path AppCore::daemonSocket() {
  const char* socket = std::getenv("VESKAR_SOCKET");
  return socket && *socket ? std::filesystem::path(socket)
                           : std::filesystem::path("/run/veskar/flowgate.sock");
}

AppCore AppCore::create(QtMainExecutor& main) {
  AppCore core;
  core.executor = main.executor();
  core.clock = std::make_shared<runtime::SystemClock>();
  auto session = std::make_shared<platform::HttpsClient>(main.ioContext().get_executor());
  core.loginManager = LoginManager::create(core.executor, session, SharedStore::standard());
  VPNManager::Options options;
  options.serverAddress = std::string(defaultBaseURL().host());
  options.clock = core.clock;
  core.vpnManager = VPNManager::create(
      core.executor, platform::TunnelHostClient::create(core.executor, daemonSocket()),
      std::move(options));
  return core;
}

}  // namespace veskar::ui
