#pragma once

// `flowgate run`: one tunnel in the foreground with the given start options,
// until SIGINT or SIGTERM.

#include "flowgate/cli/command.hpp"

namespace flowgate::cli {

extern const Command runCommand;

}  // namespace flowgate::cli
