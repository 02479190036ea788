#pragma once

// The daemon's word on a start before its host sees it: the bootstrap's
// fields within bounds (see start_option_check.hpp), and its control server
// one the daemon is set to trust, unless root asks.

#include "flowgate/config/records.hpp"
#include "flowgate/daemon/control_origins.hpp"
#include "platform/tunnel_host.hpp"

#include <sys/types.h>

#include <string>

namespace flowgate::daemon {

// What every start must pass, whoever asks: an https control server, and the
// bootstrap's fields against this machine with the interface `tunName`.
// Throws StartOptionError.
void checkStart(const ExtensionBootstrap& bootstrap, const std::string& tunName);

struct StartGate {
  ControlOrigins origins;
  // The tunnel's interface, whose addresses are the tunnel's own.
  std::string tunName;

  // Throws StartOptionError. Options without a bootstrap that decodes pass:
  // the provider refuses them before it does anything.
  void admit(const platform::TunnelStartOptions& options, uid_t caller) const;
};

}  // namespace flowgate::daemon
