#include "flowgate/transport/session_path.hpp"

#include "runtime/text.hpp"

namespace flowgate {

SessionPath::SessionPath(std::vector<ExtensionNode> pathNodes, std::int64_t pathPriority)
    : nodes(std::move(pathNodes)), priority(pathPriority) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i > 0) key += '>';
    key += nodes[i].address;
  }
  keyHash = std::hash<std::string>()(key);
}

std::string SessionPath::displayName() const {
  std::string name;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i > 0) name += " -> ";
    name += nodes[i].name;
  }
  return name;
}

std::optional<std::string> SessionPath::firstHost() const {
  if (nodes.empty()) return std::nullopt;
  return addressHost(nodes.front().address);
}

std::optional<std::string> SessionPath::exitHost() const {
  if (nodes.empty()) return std::nullopt;
  return addressHost(nodes.back().address);
}

std::string addressHost(const std::string& address) {
  auto pieces = runtime::splitOmittingEmpty(address, ':', 1);
  return pieces.empty() ? std::string() : std::string(pieces.front());
}

}  // namespace flowgate
