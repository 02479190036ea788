#pragma once

// Keeps every flow on the path it started on. A plain value owned by the node
// session pool and touched only on the pool's strand, so it has no lock. Every
// time is the host's uptime in seconds, passed in by the caller.
//
// The table is bounded: one sender opening flows without end must not grow
// the daemon without end. Bindings sit in two lists, TCP and the rest, each in
// lastSeen order, so expiry and eviction only ever look at a list's oldest end.

#include "flowgate/routing/packet_metadata.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

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
  static constexpr std::size_t defaultCapacity = 65536;
  // A full table makes room only by evicting a binding idle this long; flows
  // active more recently keep their path while a flood of new ones is routed
  // without a binding.
  static constexpr double evictableAfter = 10;
  // Expired bindings removed per call; a longer sweep goes on at the next calls.
  static constexpr std::size_t sweepStep = 1024;

  explicit FlowRouter(std::size_t capacity = defaultCapacity);
  FlowRouter(const FlowRouter&) = delete;
  FlowRouter& operator=(const FlowRouter&) = delete;

  // Starts a sweep of bindings idle for their flow's limit, at most once per
  // cleanupInterval, and carries on one that is under way; true when a sweep
  // started. Call before lookup for each routed packet.
  bool cleanup(double now);

  // The path key the flow is bound to, refreshing its lastSeen when that is at
  // least refreshInterval old. The view stays valid until the next call that
  // changes the router; copy it to keep it across a suspension.
  std::optional<std::string_view> lookup(const PacketFlowKey& key, double now);

  // Binds the flow to the path (overwriting any binding) as last seen at `now`;
  // false when the table is full of recently active flows and the flow stays
  // unbound.
  bool bind(const PacketFlowKey& key, std::string_view pathKey, double now);

  // Drops the binding of a TCP flow whose packet carried FIN or RST; true when
  // the packet ends its flow.
  bool release(const PacketMetadata& metadata);

  // What the pool does for each packet after sending it on a path: bind the
  // flow, or forget it when the packet ended it.
  void recordSent(const PacketMetadata& metadata, std::string_view pathKey, double now);

  // Drops every binding to the path.
  void remove(std::string_view pathKey);
  void removeAll();

  // A copy of the table, for tests and status.
  Bindings bindings() const;
  std::size_t size() const { return table_.size(); }
  double lastCleanup() const { return lastCleanup_; }
  const Binding* binding(const PacketFlowKey& key) const;

 private:
  struct Entry;
  using Node = std::pair<const PacketFlowKey, Entry>;
  struct Entry {
    Binding binding;
    Node* older = nullptr;
    Node* newer = nullptr;
  };
  struct List {
    Node* oldest = nullptr;
    Node* newest = nullptr;
  };

  List& listOf(const PacketFlowKey& key) {
    return key.proto == PacketMetadata::tcp ? tcpFlows_ : otherFlows_;
  }
  static double idleLimit(const PacketFlowKey& key) {
    return key.proto == PacketMetadata::tcp ? tcpIdleLimit : otherIdleLimit;
  }
  void unlink(Node& node);
  // Links the node in lastSeen order, searching from the newest end: times
  // rarely go backwards, so this is one step.
  void linkByLastSeen(Node& node);
  void erase(Node& node);
  bool evictOne(double now);
  void sweepStepAt(double now);

  std::unordered_map<PacketFlowKey, Entry> table_;
  std::size_t capacity_;
  List tcpFlows_;
  List otherFlows_;
  double lastCleanup_ = 0;
  bool sweeping_ = false;
};

}  // namespace flowgate
