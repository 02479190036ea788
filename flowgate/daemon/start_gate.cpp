#include "flowgate/daemon/start_gate.hpp"

#include "flowgate/errors/start_option_error.hpp"
#include "flowgate/provider/start_option_check.hpp"
#include "platform/host_addresses.hpp"

namespace flowgate::daemon {

void checkStart(const ExtensionBootstrap& bootstrap, const std::string& tunName) {
  if (!controlOrigin(bootstrap.controlURL)) runtime::fail(StartOptionError::controlURLInvalid);
  checkStartBootstrap(bootstrap, platform::hostIPv4Addresses(tunName));
}

void StartGate::admit(const platform::TunnelStartOptions& options, uid_t caller) const {
  auto found = options.find(bootstrapOption);
  if (found == options.end()) return;
  const auto* data = std::get_if<platform::TunnelOptionData>(&found->second);
  if (!data) return;
  auto bootstrap = startBootstrap({{bootstrapOption, OptionData{data->bytes}}});
  if (!bootstrap) return;
  if (caller != 0 && !origins.allows(bootstrap->controlURL))
    runtime::fail(StartOptionError::controlOriginNotAllowed);
  checkStart(*bootstrap, tunName);
}

}  // namespace flowgate::daemon
