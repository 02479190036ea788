#pragma once

// Keeps every flow on the path it started on. A plain value owned by the node
// session pool and touched only on the pool's strand, so it has no lock. Every
// time is the host's uptime in seconds, passed in by the caller.

#include "flowgate/routing/packet_metadata.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace flowgate {

class FlowRouter {
 public:
  struct Binding {
    std::string pathKey;
    double lastSeen = 0;

    friend bool operator==(const Binding&, const Binding&) = default;
  };

  using Bindings = std::unordered_map<PacketFlowKey, Binding>;

  static constexpr double cleanupInterval = 60;
  static constexpr double tcpIdleLimit = 600;
  static constexpr double otherIdleLimit = 120;
  // A binding's lastSeen is rewritten at most once per this many seconds.
  static constexpr double refreshInterval = 1;

  // Drops bindings idle for their flow's limit, at most once per cleanupInterval;
  // true when it swept. Call before lookup for each routed packet.
  bool cleanup(double now);

  // The path key the flow is bound to, refreshing its lastSeen when that is at
  // least refreshInterval old. The view stays valid until the next call that
  // changes the router; copy it to keep it across a suspension.
  std::optional<std::string_view> lookup(const PacketFlowKey& key, double now);

  // Binds the flow to the path (overwriting any binding) as last seen at `now`.
  void bind(const PacketFlowKey& key, std::string_view pathKey, double now);

  // Drops the binding of a TCP flow whose packet carried FIN or RST; true when
  // the packet ends its flow.
  bool release(const PacketMetadata& metadata);

  // What the pool does for each packet after sending it on a path: bind the
  // flow, or forget it when the packet ended it.
  void recordSent(const PacketMetadata& metadata, std::string_view pathKey, double now);

  // Drops every binding to the path.
  void remove(std::string_view pathKey);
  void removeAll();

  const Bindings& bindings() const { return bindings_; }
  double lastCleanup() const { return lastCleanup_; }
  const Binding* binding(const PacketFlowKey& key) const;

 private:
  Bindings bindings_;
  double lastCleanup_ = 0;
};

}  // namespace flowgate
