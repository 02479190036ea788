#include "flowgate/transport/path_selection.hpp"

#include "runtime/ipv4.hpp"
#include "runtime/text.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <map>
#include <set>

namespace flowgate {

namespace {

__extension__ using U128 = unsigned __int128;

// A weight large enough that no sum of weights can overflow 64 bits.
constexpr std::uint64_t kMaxWeight = 0xffffffffULL;

std::uint64_t effectiveWeight(std::int64_t weight) {
  if (weight < 1) return 1;
  return std::min(static_cast<std::uint64_t>(weight), kMaxWeight);
}

std::uint16_t codeKey(RegionCode code) {
  auto text = code.view();
  return static_cast<std::uint16_t>(static_cast<unsigned char>(text[0]) << 8 |
                                    static_cast<unsigned char>(text[1]));
}

// A route's network and mask, with the laxer address rule of routes: pieces
// that are not decimal octets are skipped, and four must remain.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parseRouteCIDR(std::string_view cidr) {
  auto parts = runtime::splitOmittingEmpty(cidr, '/', 1);
  if (parts.size() != 2) return std::nullopt;
  auto prefix = runtime::parseDecimal(parts[1], 32);
  if (!prefix) return std::nullopt;
  std::uint32_t network = 0;
  int octets = 0;
  for (auto piece : runtime::splitOmittingEmpty(parts[0], '.')) {
    auto octet = runtime::parseDecimal(piece, 255);
    if (!octet) continue;
    if (++octets > 4) return std::nullopt;
    network = (network << 8) | static_cast<std::uint32_t>(*octet);
  }
  if (octets != 4) return std::nullopt;
  auto mask = runtime::ipv4::prefixMask(static_cast<unsigned>(*prefix));
  return std::pair{network & mask, mask};
}

}  // namespace

std::optional<std::uint64_t> SecureRandom::next() {
  if (used_ == block_.size()) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(block_.data()),
                   static_cast<int>(sizeof block_)) != 1) {
      return std::nullopt;
    }
    used_ = 0;
  }
  return block_[used_++];
}

std::uint64_t SecureRandom::below(std::uint64_t bound) {
  // Lemire's multiply-and-shift: the high half of draw * bound, redrawn while
  // the low half falls in the short first stretch that would favour some values.
  const std::uint64_t threshold = (0 - bound) % bound;
  while (true) {
    auto draw = next();
    if (!draw) return 0;
    const U128 product = U128{*draw} * bound;
    if (static_cast<std::uint64_t>(product) >= threshold) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

PathSelection::PathSelection(ExtensionConfig config, GeoIPTable geoIP, bool highSpeedEnabled)
    : config_(std::move(config)),
      geoIP_(std::move(geoIP)),
      highSpeedEnabled_(highSpeedEnabled),
      regionCache_(regionCacheSize) {
  rebuild();
}

void PathSelection::setConfig(ExtensionConfig config) {
  config_ = std::move(config);
  rebuild();
}

void PathSelection::setGeoIP(GeoIPTable geoIP) {
  geoIP_ = std::move(geoIP);
  regionCache_.assign(regionCacheSize, CachedRegion{});
}

std::optional<std::uint16_t> PathSelection::regionOf(std::uint32_t destination) const {
  auto& entry = regionCache_[(destination * 0x9e3779b1u) >> 20];
  if (entry.state == 0 || entry.address != destination) {
    auto action = geoIP_.action(destination);
    bool region = action && !action->isDirect();
    entry = {destination, region ? codeKey(action->regionCode()) : std::uint16_t{0},
             static_cast<std::uint8_t>(region ? 1 : 2)};
  }
  if (entry.state == 2) return std::nullopt;
  return entry.code;
}

void PathSelection::setHighSpeedEnabled(bool enabled) {
  if (enabled == highSpeedEnabled_) return;
  highSpeedEnabled_ = enabled;
  rebuild();
}

bool PathSelection::isAvailable(const std::string& key, double now) const {
  if (unavailableUntil.empty()) return true;
  auto found = unavailableUntil.find(key);
  return found == unavailableUntil.end() || found->second <= now;
}

bool PathSelection::preferred(std::int64_t a, std::int64_t b) const {
  return highSpeedEnabled_ ? a > b : a < b;
}

void PathSelection::rebuild() {
  nodesByID_.clear();
  singleNodePaths_.clear();
  for (const auto& node : config_.nodes) {
    if (nodesByID_.emplace(node.id, node).second) {
      singleNodePaths_.emplace(
          node.id, std::make_shared<const SessionPath>(std::vector<ExtensionNode>{node}, 0));
    }
  }

  routeMatches_.clear();
  routePaths_.clear();
  for (const auto& route : config_.routes) {
    auto network = parseRouteCIDR(route.cidr);
    auto nodes = resolve(route.nodes);
    if (!network || !nodes || nodes->empty()) continue;
    routeMatches_.push_back({network->first, network->second});
    routePaths_.push_back(std::make_shared<const SessionPath>(std::move(*nodes), 0));
  }

  regions_.clear();
  regionCodes_.clear();
  for (const auto& [name, members] : config_.nodeGroups) {
    const auto& group = regions_.emplace(name, groupOf(members)).first->second;
    if (auto code = RegionCode::fromText(name)) regionCodes_.emplace(codeKey(*code), &group);
  }

  Members defaultMembers;
  for (auto id : config_.defaultNodes) defaultMembers.push_back({id, 0, 1});
  forcedDefault_ = groupOf(defaultMembers);
  defaultConfigured_ = forcedDefault_.configured;

  defaultNodes_.clear();
  for (auto id : config_.defaultNodes) {
    if (auto found = singleNodePaths_.find(id); found != singleNodePaths_.end()) {
      defaultNodes_.push_back(found->second);
    }
  }
  std::stable_sort(defaultNodes_.begin(), defaultNodes_.end(),
                   [this](const auto& a, const auto& b) {
                     return preferred(a->nodes.front().priority, b->nodes.front().priority);
                   });
  if (defaultNodes_.empty() && !config_.nodes.empty()) {
    defaultNodes_.push_back(singleNodePaths_.at(config_.nodes.front().id));
  }
}

std::optional<std::vector<ExtensionNode>> PathSelection::resolve(
    const std::vector<std::uint64_t>& ids) const {
  std::vector<ExtensionNode> nodes;
  nodes.reserve(ids.size());
  for (auto id : ids) {
    auto found = nodesByID_.find(id);
    if (found == nodesByID_.end()) return std::nullopt;
    nodes.push_back(found->second);
  }
  return nodes;
}

std::vector<PathRef> PathSelection::configuredInOrder(const NodeIDs& exits) const {
  std::vector<PathRef> paths;
  if (!config_.paths || exits.empty()) return paths;
  std::unordered_set<std::string> seen;
  for (const auto& entry : *config_.paths) {
    if (entry.nodes.empty() || !exits.contains(entry.nodes.back())) continue;
    auto nodes = resolve(entry.nodes);
    if (!nodes) continue;
    auto path = std::make_shared<const SessionPath>(std::move(*nodes), entry.priority);
    if (!seen.insert(path->key).second) continue;
    paths.push_back(std::move(path));
  }
  auto exitPriority = [](const PathRef& path) { return path->nodes.back().priority; };
  std::stable_sort(paths.begin(), paths.end(), [&](const PathRef& a, const PathRef& b) {
    if (a->nodes.size() != b->nodes.size()) return a->nodes.size() < b->nodes.size();
    if (a->priority != b->priority) return preferred(a->priority, b->priority);
    return preferred(exitPriority(a), exitPriority(b));
  });
  return paths;
}

PathSelection::Levels PathSelection::levelsOf(
    std::span<const ExtensionNodeGroupMember> members) const {
  // Member priority (not the node's) decides the level.
  std::map<std::int64_t, std::vector<Choice>> byPriority;
  for (const auto& member : members) {
    auto found = singleNodePaths_.find(member.nodeId);
    if (found == singleNodePaths_.end()) continue;
    byPriority[member.priority].push_back({effectiveWeight(member.weight), found->second});
  }
  Levels levels;
  for (auto& [priority, choices] : byPriority) levels.push_back(std::move(choices));
  if (highSpeedEnabled_) std::reverse(levels.begin(), levels.end());
  return levels;
}

PathSelection::Group PathSelection::groupOf(
    std::span<const ExtensionNodeGroupMember> members) const {
  NodeIDs exits;
  for (const auto& member : members) exits.insert(member.nodeId);
  return Group{configuredInOrder(exits), levelsOf(members)};
}

void PathSelection::available(const std::vector<PathRef>& paths, double now,
                              std::vector<PathRef>& out) const {
  for (const auto& path : paths) {
    if (isAvailable(path->key, now)) out.push_back(path);
  }
}

void PathSelection::orderByWeight(std::span<const std::uint64_t> weights,
                                  std::vector<std::size_t>& order) const {
  auto& remaining = remaining_;
  remaining.resize(weights.size());
  for (std::size_t i = 0; i < remaining.size(); ++i) remaining[i] = i;
  std::uint64_t total = 0;
  for (auto weight : weights) total += weight;
  while (!remaining.empty()) {
    std::uint64_t r = remaining.size() == 1 ? 0 : random_.below(total);
    auto chosen = remaining.begin();
    for (; chosen + 1 != remaining.end(); ++chosen) {
      if (r < weights[*chosen]) break;
      r -= weights[*chosen];
    }
    order.push_back(*chosen);
    total -= weights[*chosen];
    remaining.erase(chosen);
  }
}

void PathSelection::pick(const Levels& levels, double now, std::vector<PathRef>& out) const {
  for (const auto& level : levels) {
    weights_.clear();
    kept_.clear();
    for (const auto& choice : level) {
      if (!isAvailable(choice.path->key, now)) continue;
      weights_.push_back(choice.weight);
      kept_.push_back(&choice.path);
    }
    order_.clear();
    orderByWeight(weights_, order_);
    for (auto index : order_) out.push_back(*kept_[index]);
  }
}

void PathSelection::fromGroup(const Group& group, double now, std::vector<PathRef>& out) const {
  const auto before = out.size();
  available(group.configured, now, out);
  if (out.size() == before) pick(group.levels, now, out);
}

std::vector<PathRef> PathSelection::candidatePaths(const PacketMetadata& metadata,
                                                   const std::optional<std::string>& forcedRegion,
                                                   double now) const {
  std::vector<PathRef> paths;
  appendCandidatePaths(metadata, forcedRegion, now, paths);
  return paths;
}

void PathSelection::appendCandidatePaths(const PacketMetadata& metadata,
                                         const std::optional<std::string>& forcedRegion, double now,
                                         std::vector<PathRef>& out) const {
  if (forcedRegion) {
    // No fallback to routes or default nodes: the region was asked for.
    if (*forcedRegion == config_.dns.defaultRegion) return fromGroup(forcedDefault_, now, out);
    auto group = regions_.find(*forcedRegion);
    if (group != regions_.end()) fromGroup(group->second, now, out);
    return;
  }

  const std::uint32_t destination = metadata.destination;
  for (std::size_t i = 0; i < routeMatches_.size(); ++i) {
    if ((destination & routeMatches_[i].mask) != routeMatches_[i].network) continue;
    // A route in cooldown holds its packets back rather than sending them elsewhere.
    if (isAvailable(routePaths_[i]->key, now)) out.push_back(routePaths_[i]);
    return;
  }

  const auto before = out.size();
  if (auto code = regionOf(destination)) {
    if (auto group = regionCodes_.find(*code); group != regionCodes_.end()) {
      fromGroup(*group->second, now, out);
      if (out.size() != before) return;
    }
  }

  available(defaultConfigured_, now, out);
  if (out.size() != before) return;
  out.insert(out.end(), defaultNodes_.begin(), defaultNodes_.end());
}

std::vector<PathRef> PathSelection::configuredPaths(const NodeIDs& exits, double now) const {
  std::vector<PathRef> paths;
  available(configuredInOrder(exits), now, paths);
  return paths;
}

std::vector<PathRef> PathSelection::availableNodes(
    std::span<const ExtensionNodeGroupMember> members, double now) const {
  std::vector<PathRef> paths;
  pick(levelsOf(members), now, paths);
  return paths;
}

PathSelection::Members PathSelection::weightedOrder(Members members) const {
  std::vector<std::uint64_t> weights;
  for (const auto& member : members) weights.push_back(effectiveWeight(member.weight));
  std::vector<std::size_t> order;
  orderByWeight(weights, order);
  Members ordered;
  for (auto index : order) ordered.push_back(members[index]);
  return ordered;
}

std::unordered_set<std::string> PathSelection::allowedPathKeys() const {
  std::unordered_set<std::string> keys;
  auto allow = [&](const std::vector<std::uint64_t>& ids) {
    if (auto nodes = resolve(ids); nodes && !nodes->empty()) {
      keys.insert(SessionPath(std::move(*nodes), 0).key);
    }
  };
  if (config_.paths) {
    for (const auto& path : *config_.paths) allow(path.nodes);
  }
  for (const auto& route : config_.routes) allow(route.nodes);
  return keys;
}

bool PathSelection::contains(std::uint32_t address, std::string_view cidr) {
  auto network = parseRouteCIDR(cidr);
  return network && (address & network->second) == network->first;
}

std::string PathSelection::networkFingerprint(const ExtensionBootstrap& bootstrap) {
  const auto& config = bootstrap.config;
  std::string servers;
  for (std::size_t i = 0; i < config.dns.servers.size(); ++i) {
    if (i > 0) servers += ',';
    servers += config.dns.servers[i];
  }
  std::set<std::string> hosts;
  for (const auto& node : config.nodes)
    hosts.insert(node.address.substr(0, node.address.find(':')));
  std::string hostList;
  for (auto host = hosts.begin(); host != hosts.end(); ++host) {
    if (host != hosts.begin()) hostList += ',';
    hostList += *host;
  }
  return bootstrap.vpnIPv4 + "|" + config.vpnCidr + "|" + std::to_string(config.mtu) + "|" +
         servers + "|" + hostList;
}

}  // namespace flowgate
