#include "flowgate/config/node_ids.hpp"

#include "flowgate/errors/protocol_error.hpp"

#include <unordered_set>

namespace flowgate {

bool hasUniqueNodeIDs(const ExtensionConfig& config) {
  std::unordered_set<std::uint64_t> seen;
  for (const auto& node : config.nodes) {
    if (!seen.insert(node.id).second) return false;
  }
  return true;
}

void requireUniqueNodeIDs(const ExtensionConfig& config) {
  if (!hasUniqueNodeIDs(config)) runtime::fail(ProtocolError::invalidFrame);
}

}  // namespace flowgate
