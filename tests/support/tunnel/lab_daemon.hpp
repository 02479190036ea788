#pragma once

// The tunnel's programs as the lab tests run them in the client namespace:
// start options minted by signing in there, and `flowgate daemon` trusting the
// lab's control server.

#include "tests/support/process/child_process.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr const char* kLabClientNamespace = "vkl-client";
inline constexpr const char* kLabControlCA = "/run/veskar-lab/pki/control-ca.pem";

// Signs in, authorizes and opens the daemon's session from the client
// namespace, writing bootstrap.json and tokens.json into `folder` (the same
// folder keeps the same device). The device key; throws with the minting
// program's output when it failed.
std::string mintStartOptions(const std::filesystem::path& folder);

// Whether a Unix socket at `path` takes connections.
bool socketAccepts(const std::filesystem::path& path);

// `flowgate daemon` in the client namespace with its socket and data folder
// where given, controlled by root (this machine has no `veskar` group) and
// trusting the lab's control server, once its socket takes connections.
// Throws with the daemon's output when it never does.
std::unique_ptr<ChildProcess> startLabDaemon(const std::filesystem::path& socket,
                                             const std::filesystem::path& dataDirectory,
                                             std::vector<std::string> extraArguments = {});

}  // namespace testsupport
