#include "flowgate/routing/flow_router.hpp"

namespace flowgate {

bool FlowRouter::cleanup(double now) {
  if (now - lastCleanup_ < cleanupInterval) return false;
  lastCleanup_ = now;
  std::erase_if(bindings_, [now](const Bindings::value_type& entry) {
    const double limit = entry.first.proto == PacketMetadata::tcp ? tcpIdleLimit : otherIdleLimit;
    return now - entry.second.lastSeen >= limit;
  });
  return true;
}

std::optional<std::string_view> FlowRouter::lookup(const PacketFlowKey& key, double now) {
  const auto found = bindings_.find(key);
  if (found == bindings_.end()) return std::nullopt;
  Binding& binding = found->second;
  if (now - binding.lastSeen >= refreshInterval) binding.lastSeen = now;
  return std::string_view(binding.pathKey);
}

void FlowRouter::bind(const PacketFlowKey& key, std::string_view pathKey, double now) {
  Binding& binding = bindings_[key];
  binding.pathKey.assign(pathKey);
  binding.lastSeen = now;
}

bool FlowRouter::release(const PacketMetadata& metadata) {
  if (!metadata.endsFlow()) return false;
  bindings_.erase(metadata.flowKey);
  return true;
}

void FlowRouter::recordSent(const PacketMetadata& metadata, std::string_view pathKey, double now) {
  if (release(metadata)) return;
  bind(metadata.flowKey, pathKey, now);
}

void FlowRouter::remove(std::string_view pathKey) {
  std::erase_if(bindings_, [pathKey](const Bindings::value_type& entry) {
    return entry.second.pathKey == pathKey;
  });
}

void FlowRouter::removeAll() { bindings_.clear(); }

const FlowRouter::Binding* FlowRouter::binding(const PacketFlowKey& key) const {
  const auto found = bindings_.find(key);
  return found == bindings_.end() ? nullptr : &found->second;
}

}  // namespace flowgate
