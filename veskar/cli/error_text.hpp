#pragma once

// What the user reads when a command fails: the error's localized text.

#include <exception>
#include <string>

namespace veskar::cli {

// The daemon's socket missing or nobody listening on it: the service is not running.
bool isDaemonUnreachable(std::exception_ptr error);

std::string errorText(std::exception_ptr error);

}  // namespace veskar::cli
