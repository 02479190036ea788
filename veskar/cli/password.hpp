#pragma once

// The password for signing in: typed at the terminal without echo, or the
// first line of standard input for scripts.

#include <optional>
#include <string>

namespace veskar::cli {

// Nothing when standard input is no terminal (and not asked to read it) or
// was closed before a line came.
std::optional<std::string> readPassword(bool fromStandardInput, const std::string& prompt);

}  // namespace veskar::cli
