#pragma once

#include "flowgate/config/records.hpp"

namespace flowgate {

// Node ids must be unique: routes, paths and groups refer to nodes by id, and
// keeping either of two nodes silently would send traffic to the wrong one.
bool hasUniqueNodeIDs(const ExtensionConfig& config);

// Throws ProtocolError::invalidFrame for a configuration that repeats a node id.
void requireUniqueNodeIDs(const ExtensionConfig& config);

}  // namespace flowgate
