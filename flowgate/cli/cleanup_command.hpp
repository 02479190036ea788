#pragma once

// `flowgate cleanup`: takes away what the daemon may have left in the kernel
// and the resolver settings (routing rules and tables, reply marks, DNS
// settings, the lockdown block) and forgets the interrupted run, so the machine
// is open again. For package removal, with no daemon running.

#include "flowgate/cli/command.hpp"

namespace flowgate::cli {

extern const Command cleanupCommand;

}  // namespace flowgate::cli
