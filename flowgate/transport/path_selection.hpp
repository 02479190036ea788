#pragma once

// The pool's read-only path selection: which chains of nodes a packet may take,
// in the order they are tried. Built from the configuration's routes, configured
// paths, node groups and default nodes, skipping paths in cooldown; high-speed
// mode makes larger priority values preferred instead of smaller ones.
//
// Everything the configuration fixes (parsed routes, resolved paths, each
// group's paths and priority levels, their order) is prepared when the
// configuration, the GeoIP table or the mode changes, so choosing the
// candidates of one packet allocates only the list it returns. Touched only on
// the pool's strand.

#include "flowgate/config/records.hpp"
#include "flowgate/routing/geoip_table.hpp"
#include "flowgate/routing/packet_metadata.hpp"
#include "flowgate/transport/session_path.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace flowgate {

// Uniform draws from OpenSSL's generator, fetched in blocks: a draw per group
// member per packet would otherwise cost a generator call each.
class SecureRandom {
 public:
  // Uniform in [0, bound), without modulo bias; bound must be at least 1. Should
  // the generator ever fail, the draw is 0 (members keep their listed order).
  std::uint64_t below(std::uint64_t bound);

 private:
  std::optional<std::uint64_t> next();
  std::array<std::uint64_t, 32> block_{};
  std::size_t used_ = block_.size();
};

class PathSelection {
 public:
  using Cooldowns = std::unordered_map<std::string, double>;
  using NodeIDs = std::unordered_set<std::uint64_t>;
  using Members = std::vector<ExtensionNodeGroupMember>;

  PathSelection(ExtensionConfig config, GeoIPTable geoIP, bool highSpeedEnabled);

  const ExtensionConfig& config() const { return config_; }
  void setConfig(ExtensionConfig config);
  const GeoIPTable& geoIP() const { return geoIP_; }
  void setGeoIP(GeoIPTable geoIP);
  bool highSpeedEnabled() const { return highSpeedEnabled_; }
  void setHighSpeedEnabled(bool enabled);
  // The first node of each id wins when `config.nodes` repeats one.
  const std::unordered_map<std::uint64_t, ExtensionNode>& nodesByID() const { return nodesByID_; }

  // Path key -> uptime until which the path is in cooldown. A key without an
  // entry, or whose entry is not after now, is available.
  Cooldowns unavailableUntil;
  bool isAvailable(const std::string& key, double now) const;

  // The paths to try for the packet, best first; empty when it cannot be sent.
  std::vector<PathRef> candidatePaths(const PacketMetadata& metadata,
                                      const std::optional<std::string>& forcedRegion,
                                      double now) const;
  // The same, appended to `out` (which the caller may reuse across packets).
  void appendCandidatePaths(const PacketMetadata& metadata,
                            const std::optional<std::string>& forcedRegion, double now,
                            std::vector<PathRef>& out) const;
  // Configured paths whose exit node is in `exits`, first occurrence of a key
  // kept, available ones only, shortest and preferred first.
  std::vector<PathRef> configuredPaths(const NodeIDs& exits, double now) const;
  // The members' available nodes as single-node paths: priority levels
  // preferred first, weighted random order within a level.
  std::vector<PathRef> availableNodes(std::span<const ExtensionNodeGroupMember> members,
                                      double now) const;
  // The members in weighted random order (a weight below 1 counts as 1).
  Members weightedOrder(Members members) const;
  // The keys of every configured path and route whose nodes resolve.
  std::unordered_set<std::string> allowedPathKeys() const;

  static bool contains(std::uint32_t address, std::string_view cidr);
  // Equal fingerprints need no new interface settings.
  static std::string networkFingerprint(const ExtensionBootstrap& bootstrap);

 private:
  // Only routes that can match and whose nodes resolve; the rest are skipped
  // by every walk anyway.
  struct RouteMatch {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
  };
  struct Choice {
    std::uint64_t weight = 1;
    PathRef path;
  };
  using Levels = std::vector<std::vector<Choice>>;
  struct Group {
    std::vector<PathRef> configured;  // in order, cooldown not yet applied
    Levels levels;
  };

  void rebuild();
  std::optional<std::vector<ExtensionNode>> resolve(const std::vector<std::uint64_t>& ids) const;
  bool preferred(std::int64_t a, std::int64_t b) const;
  std::vector<PathRef> configuredInOrder(const NodeIDs& exits) const;
  Levels levelsOf(std::span<const ExtensionNodeGroupMember> members) const;
  Group groupOf(std::span<const ExtensionNodeGroupMember> members) const;
  void available(const std::vector<PathRef>& paths, double now, std::vector<PathRef>& out) const;
  void pick(const Levels& levels, double now, std::vector<PathRef>& out) const;
  void fromGroup(const Group& group, double now, std::vector<PathRef>& out) const;
  // Indices into `weights` in weighted random order.
  void orderByWeight(std::span<const std::uint64_t> weights, std::vector<std::size_t>& order) const;

  ExtensionConfig config_;
  GeoIPTable geoIP_;
  bool highSpeedEnabled_ = false;
  std::unordered_map<std::uint64_t, ExtensionNode> nodesByID_;
  std::unordered_map<std::uint64_t, PathRef> singleNodePaths_;
  std::vector<RouteMatch> routeMatches_;
  std::vector<PathRef> routePaths_;  // parallel to routeMatches_
  std::unordered_map<std::string, Group> regions_;
  // The groups named by two-character region codes, keyed by the code's bytes:
  // looked up for every packet that no route takes.
  std::unordered_map<std::uint16_t, const Group*> regionCodes_;
  Group forcedDefault_;  // the default nodes as a forced region
  std::vector<PathRef> defaultConfigured_;
  std::vector<PathRef> defaultNodes_;  // resolved, preferred first, or the first node
  // The region of recently seen destinations: a lookup in a large table costs
  // a dozen cache misses, and most packets go where others just went.
  struct CachedRegion {
    std::uint32_t address = 0;
    std::uint16_t code = 0;
    std::uint8_t state = 0;  // 0 empty, 1 a region, 2 none
  };
  static constexpr std::size_t regionCacheSize = 4096;
  std::optional<std::uint16_t> regionOf(std::uint32_t destination) const;
  mutable std::vector<CachedRegion> regionCache_;

  mutable SecureRandom random_;
  // Reused by every pick so ordering a group allocates nothing but its result.
  mutable std::vector<std::uint64_t> weights_;
  mutable std::vector<const PathRef*> kept_;
  mutable std::vector<std::size_t> order_, remaining_;
};

}  // namespace flowgate
