#include "flowgate/routing/flow_router.hpp"

#include <algorithm>

namespace flowgate {

FlowRouter::FlowRouter(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

bool FlowRouter::cleanup(double now) {
  bool started = false;
  if (now - lastCleanup_ >= cleanupInterval) {
    lastCleanup_ = now;
    sweeping_ = true;
    started = true;
  }
  if (sweeping_) sweepStepAt(now);
  return started;
}

void FlowRouter::sweepStepAt(double now) {
  std::size_t budget = sweepStep;
  for (List* list : {&tcpFlows_, &otherFlows_}) {
    while (list->oldest && budget > 0) {
      Node& oldest = *list->oldest;
      if (now - oldest.second.binding.lastSeen < idleLimit(oldest.first)) break;
      erase(oldest);
      --budget;
    }
  }
  // Done once neither list starts with an expired binding.
  if (budget > 0) sweeping_ = false;
}

std::optional<std::string_view> FlowRouter::lookup(const PacketFlowKey& key, double now) {
  const auto found = table_.find(key);
  if (found == table_.end()) return std::nullopt;
  Binding& binding = found->second.binding;
  if (now - binding.lastSeen >= refreshInterval) {
    binding.lastSeen = now;
    unlink(*found);
    linkByLastSeen(*found);
  }
  return std::string_view(binding.pathKey);
}

bool FlowRouter::bind(const PacketFlowKey& key, std::string_view pathKey, double now) {
  auto found = table_.find(key);
  if (found == table_.end()) {
    if (table_.size() >= capacity_ && !evictOne(now)) return false;
    found = table_.try_emplace(key).first;
  } else {
    unlink(*found);
  }
  Binding& binding = found->second.binding;
  binding.pathKey.assign(pathKey);
  binding.lastSeen = now;
  linkByLastSeen(*found);
  return true;
}

bool FlowRouter::evictOne(double now) {
  Node* tcp = tcpFlows_.oldest;
  Node* other = otherFlows_.oldest;
  Node* oldest =
      !tcp     ? other
      : !other ? tcp
               : (tcp->second.binding.lastSeen <= other->second.binding.lastSeen ? tcp : other);
  if (!oldest || now - oldest->second.binding.lastSeen < evictableAfter) return false;
  erase(*oldest);
  return true;
}

bool FlowRouter::release(const PacketMetadata& metadata) {
  if (!metadata.endsFlow()) return false;
  if (auto found = table_.find(metadata.flowKey); found != table_.end()) erase(*found);
  return true;
}

void FlowRouter::recordSent(const PacketMetadata& metadata, std::string_view pathKey, double now) {
  if (release(metadata)) return;
  bind(metadata.flowKey, pathKey, now);
}

void FlowRouter::remove(std::string_view pathKey) {
  for (auto entry = table_.begin(); entry != table_.end();) {
    if (entry->second.binding.pathKey != pathKey) {
      ++entry;
      continue;
    }
    unlink(*entry);
    entry = table_.erase(entry);
  }
}

void FlowRouter::removeAll() {
  table_.clear();
  tcpFlows_ = {};
  otherFlows_ = {};
  sweeping_ = false;
}

FlowRouter::Bindings FlowRouter::bindings() const {
  Bindings copy;
  copy.reserve(table_.size());
  for (const auto& [key, entry] : table_) copy.emplace(key, entry.binding);
  return copy;
}

const FlowRouter::Binding* FlowRouter::binding(const PacketFlowKey& key) const {
  const auto found = table_.find(key);
  return found == table_.end() ? nullptr : &found->second.binding;
}

void FlowRouter::unlink(Node& node) {
  List& list = listOf(node.first);
  Entry& entry = node.second;
  (entry.older ? entry.older->second.newer : list.oldest) = entry.newer;
  (entry.newer ? entry.newer->second.older : list.newest) = entry.older;
  entry.older = entry.newer = nullptr;
}

void FlowRouter::linkByLastSeen(Node& node) {
  List& list = listOf(node.first);
  const double lastSeen = node.second.binding.lastSeen;
  Node* older = list.newest;
  while (older && older->second.binding.lastSeen > lastSeen) older = older->second.older;
  Node* newer = older ? older->second.newer : list.oldest;
  node.second.older = older;
  node.second.newer = newer;
  (older ? older->second.newer : list.oldest) = &node;
  (newer ? newer->second.older : list.newest) = &node;
}

void FlowRouter::erase(Node& node) {
  unlink(node);
  const PacketFlowKey key = node.first;  // the node's own key dies with it
  table_.erase(key);
}

}  // namespace flowgate
