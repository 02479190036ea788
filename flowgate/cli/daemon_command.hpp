#pragma once

// `flowgate daemon`: the tunnel host behind the control socket, in the
// foreground (a systemd notify service), until SIGTERM or SIGINT.

#include "flowgate/cli/command.hpp"

namespace flowgate::cli {

extern const Command daemonCommand;

}  // namespace flowgate::cli
