#pragma once

// The network fingerprint the path monitor compares: the kinds and names of
// the physical interfaces. Virtual interfaces (the tunnel's own among them)
// and addresses do not count, so only a real change of network differs.

#include "platform/network_path.hpp"

#include <string>

namespace flowgate {

std::string networkFingerprint(const platform::NetworkPath& path);

}  // namespace flowgate
