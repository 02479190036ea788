#pragma once

// A chain of relay nodes a packet travels through: the first node is the one
// connected to, the last is the exit. Its key (the node addresses joined with
// ">") names the path in the pool, the flow router and the status records.

#include "flowgate/config/records.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flowgate {

struct SessionPath {
  SessionPath() = default;
  SessionPath(std::vector<ExtensionNode> pathNodes, std::int64_t pathPriority);

  std::vector<ExtensionNode> nodes;
  std::string key;
  std::int64_t priority = 0;
  // std::hash of the key, computed with it: grouping packets compares many keys.
  std::size_t keyHash = std::hash<std::string>()(std::string());

  // The node names joined with " -> ".
  std::string displayName() const;
  // The host part of the first (last) node's address; nothing for an empty path.
  std::optional<std::string> firstHost() const;
  std::optional<std::string> exitHost() const;

  friend bool operator==(const SessionPath&, const SessionPath&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("nodes", self.nodes);
    field("key", self.key);
    field("priority", self.priority);
  }
};

// Paths are shared between the selection tables, the pool's maps and the
// groups of a batch in flight; none of them changes a path once built.
using PathRef = std::shared_ptr<const SessionPath>;

// The part of a node address before its first ':' (empty pieces ignored), or
// empty text when nothing is left.
std::string addressHost(const std::string& address);

}  // namespace flowgate

template <>
struct std::hash<flowgate::SessionPath> : runtime::RecordHasher<flowgate::SessionPath> {};
