#pragma once

// What the user reads when a command fails: the sentence the window shows for
// the same failure, and its detail line.

#include <exception>
#include <string>

namespace veskar::cli {

// The daemon's socket missing or nobody listening on it: the service is not running.
bool isDaemonUnreachable(std::exception_ptr error);

// `signingIn`: the failure answered a sign-in (a refusal means a wrong password).
std::string errorText(std::exception_ptr error, bool signingIn = false);

}  // namespace veskar::cli
