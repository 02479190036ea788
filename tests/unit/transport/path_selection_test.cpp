#include "flowgate/transport/path_selection.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace flowgate;

namespace {

constexpr std::uint32_t address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

constexpr std::uint32_t kRouted = address(198, 51, 100, 7);   // routes and region "DE"
constexpr std::uint32_t kRegion = address(203, 0, 113, 9);    // region "DE" only
constexpr std::uint32_t kElsewhere = address(198, 18, 0, 1);  // no route, no region

ExtensionNode node(std::uint64_t id, std::int64_t priority = 0) {
  return ExtensionNode{
      id, "n" + std::to_string(id), "192.0.2." + std::to_string(id) + ":443", {}, priority};
}

std::string keyOf(std::initializer_list<std::uint64_t> ids) {
  std::string key;
  for (auto id : ids) key += (key.empty() ? "" : ">") + node(id).address;
  return key;
}

PacketMetadata to(std::uint32_t destination) {
  PacketMetadata metadata;
  metadata.destination = destination;
  metadata.flowKey.destination = destination;
  return metadata;
}

GeoIPTable table() {
  return GeoIPTable(1, {},
                    {{address(198, 51, 100, 0), address(198, 51, 100, 255), RegionCode("DE")},
                     {address(203, 0, 113, 0), address(203, 0, 113, 255), RegionCode("DE")}},
                    {});
}

std::vector<std::string> keys(const std::vector<PathRef>& paths) {
  std::vector<std::string> result;
  for (const auto& path : paths) result.push_back(path->key);
  return result;
}

// Nodes 1-6; node 5 has the larger node priority.
ExtensionConfig baseConfig() {
  ExtensionConfig config;
  config.nodes = {node(1), node(2), node(3), node(4), node(5, 9), node(6)};
  config.defaultNodes = {6};
  config.dns.defaultRegion = "US";
  return config;
}

}  // namespace

TEST(SessionPath, KeyNameAndHosts) {
  SessionPath path({node(1), node(2)}, 3);
  EXPECT_EQ(path.key, "192.0.2.1:443>192.0.2.2:443");
  EXPECT_EQ(path.displayName(), "n1 -> n2");
  EXPECT_EQ(path.firstHost(), "192.0.2.1");
  EXPECT_EQ(path.exitHost(), "192.0.2.2");
  EXPECT_NE(path, SessionPath({node(1), node(2)}, 4));  // priority is part of the value

  auto odd = ExtensionNode{7, "x", ":relay.test:443", {}, 0};
  EXPECT_EQ(SessionPath({odd}, 0).firstHost(), "relay.test");  // empty pieces ignored
  EXPECT_EQ(SessionPath({ExtensionNode{8, "y", ":", {}, 0}}, 0).exitHost(), "");
  EXPECT_EQ(SessionPath({}, 0).firstHost(), std::nullopt);
  EXPECT_EQ(SessionPath({}, 0).key, "");
}

TEST(PathSelectionContains, CIDRTexts) {
  struct Case {
    const char* cidr;
    std::uint32_t address;
    bool contained;
  };
  const Case cases[] = {
      {"0.0.0.0/0", address(203, 0, 113, 1), true},  {"0.0.0.0/0", 0xffffffff, true},
      {"10.0.0.0/8", address(10, 1, 2, 3), true},    {"10.0.0.0/8", address(11, 0, 0, 1), false},
      {"10.9.9.9/8", address(10, 1, 2, 3), true},  // host bits of the network are masked
      {"192.0.2.1/32", address(192, 0, 2, 1), true}, {"192.0.2.1/32", address(192, 0, 2, 2), false},
      {"10.0.0.0/33", address(10, 0, 0, 1), false},  {"10.0.0.0", address(10, 0, 0, 1), false},
      {"10.0.0/8", address(10, 0, 0, 1), false},     {"10.0.0.0.0/8", address(10, 0, 0, 1), false},
      {"10.0.0.256/8", address(10, 0, 0, 1), false},  // 256 is dropped: three octets remain
      {"10.x.0.0.0/8", address(10, 0, 0, 1), true},   // non-numeric pieces are skipped
      {"10..0.0.0/8", address(10, 0, 0, 1), true},   {"10.0.0.0/", address(10, 0, 0, 1), false},
      {"/8", address(10, 0, 0, 1), false},           {"10.0.0.0/+8", address(10, 0, 0, 1), false},
      {"10.0.0.0/8/", address(10, 0, 0, 1), false},  {"", 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathSelection::contains(c.address, c.cidr), c.contained) << c.cidr;
  }
}

TEST(PathSelectionRoutes, FirstResolvingRouteWinsAndItsCooldownBlocksThePacket) {
  auto config = baseConfig();
  config.routes = {{"198.51.100.0/24", {1, 99}},  // unknown node: skipped
                   {"garbage", {3}},
                   {"198.51.100.0/25", {2, 3}},
                   {"198.51.100.0/24", {4}}};
  config.nodeGroups["DE"] = {{4, 0, 1}};
  PathSelection selection(config, table(), false);
  EXPECT_EQ(keys(selection.candidatePaths(to(kRouted), {}, 100)),
            std::vector<std::string>{keyOf({2, 3})});

  // The route's path in cooldown: nothing, although the region could carry it.
  selection.unavailableUntil[keyOf({2, 3})] = 130;
  EXPECT_TRUE(selection.candidatePaths(to(kRouted), {}, 100).empty());
  EXPECT_EQ(selection.candidatePaths(to(kRouted), {}, 130).size(), 1u);  // expired at its deadline
  // Other destinations are untouched by it.
  EXPECT_EQ(keys(selection.candidatePaths(to(kRegion), {}, 100)),
            std::vector<std::string>{keyOf({4})});
}

TEST(PathSelectionConfigured, DuplicatesOrderAndCooldown) {
  auto config = baseConfig();
  config.paths = std::vector<ExtensionPath>{
      {{1, 2}, 0},                      // two nodes: after every single-node path
      {{1}, 5},    {{3}, 1}, {{3}, 0},  // same chain as the entry before: dropped
      {{4, 5}, 0},            // exit 5 (node priority 9) vs exit 2 (0): tie broken by exit priority
      {{}, 0},     {{7}, 0},  // unknown node
  };
  struct Case {
    bool highSpeed;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {false, {keyOf({3}), keyOf({1}), keyOf({1, 2}), keyOf({4, 5})}},
      {true, {keyOf({1}), keyOf({3}), keyOf({4, 5}), keyOf({1, 2})}},
  };
  const PathSelection::NodeIDs exits{1, 2, 3, 5};
  for (const auto& c : cases) {
    PathSelection selection(config, table(), c.highSpeed);
    auto paths = selection.configuredPaths(exits, 0);
    EXPECT_EQ(keys(paths), c.order) << c.highSpeed;
    auto three = std::find_if(paths.begin(), paths.end(),
                              [](const PathRef& p) { return p->key == keyOf({3}); });
    ASSERT_NE(three, paths.end());
    EXPECT_EQ((*three)->priority, 1);  // the first listed entry of a chain wins
  }

  PathSelection selection(config, table(), false);
  selection.unavailableUntil[keyOf({3})] = 50;
  EXPECT_EQ(keys(selection.configuredPaths({3}, 10)), std::vector<std::string>{});
  EXPECT_EQ(keys(selection.configuredPaths({3}, 50)), std::vector<std::string>{keyOf({3})});
  EXPECT_TRUE(selection.configuredPaths({}, 0).empty());
}

TEST(PathSelectionGroups, LevelsByMemberPrioritySkippingCooldownAndUnknownNodes) {
  auto config = baseConfig();
  // Member priorities decide the levels; node 5's own priority 9 does not matter.
  config.nodeGroups["DE"] = {{5, 2, 1}, {1, 7, 1}, {2, 2, 1}, {99, 0, 1}, {3, 7, 1}};
  PathSelection selection(config, table(), false);
  selection.unavailableUntil[keyOf({2})] = 1e9;
  auto low = keys(selection.candidatePaths(to(kRegion), {}, 0));
  ASSERT_EQ(low.size(), 3u);
  EXPECT_EQ(low[0], keyOf({5}));
  EXPECT_EQ(std::set<std::string>(low.begin() + 1, low.end()),
            (std::set<std::string>{keyOf({1}), keyOf({3})}));

  selection.setHighSpeedEnabled(true);
  auto high = keys(selection.candidatePaths(to(kRegion), {}, 0));
  ASSERT_EQ(high.size(), 3u);
  EXPECT_EQ(high[2], keyOf({5}));

  // Every member in cooldown: the default nodes carry the packet.
  for (auto id : {1, 3, 5}) selection.unavailableUntil[node(id).address] = 1e9;
  EXPECT_EQ(keys(selection.candidatePaths(to(kRegion), {}, 0)),
            std::vector<std::string>{keyOf({6})});
}

TEST(PathSelectionGroups, ConfiguredPathsExitingThroughTheRegionComeFirst) {
  auto config = baseConfig();
  config.nodeGroups["DE"] = {{2, 0, 1}, {3, 0, 1}};
  config.paths = std::vector<ExtensionPath>{{{1, 3}, 0}, {{6}, 0}};
  PathSelection selection(config, table(), false);
  EXPECT_EQ(keys(selection.candidatePaths(to(kRegion), {}, 0)),
            std::vector<std::string>{keyOf({1, 3})});
  // With the region's configured path in cooldown its members are used.
  selection.unavailableUntil[keyOf({1, 3})] = 10;
  EXPECT_EQ(selection.candidatePaths(to(kRegion), {}, 0).size(), 2u);
  // Defaults use the configured path through default node 6.
  EXPECT_EQ(keys(selection.candidatePaths(to(kElsewhere), {}, 0)),
            std::vector<std::string>{keyOf({6})});
  // A new table applies at once, to destinations looked up before too.
  selection.setGeoIP(GeoIPTable());
  EXPECT_EQ(keys(selection.candidatePaths(to(kRegion), {}, 0)),
            std::vector<std::string>{keyOf({6})});
}

TEST(PathSelectionDefaults, SortedByNodePriorityWithoutCooldownOrTheFirstNode) {
  struct Case {
    std::vector<std::uint64_t> defaults;
    bool highSpeed;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{1, 5, 99, 2}, false, {keyOf({1}), keyOf({2}), keyOf({5})}},
      {{1, 5, 99, 2}, true, {keyOf({5}), keyOf({1}), keyOf({2})}},
      {{98, 99}, false, {keyOf({1})}},  // every id unknown: the first configured node
      {{}, false, {keyOf({1})}},
  };
  for (const auto& c : cases) {
    auto config = baseConfig();
    config.defaultNodes = c.defaults;
    PathSelection selection(config, table(), c.highSpeed);
    selection.unavailableUntil[keyOf({1})] = 1e9;  // default nodes ignore cooldowns
    EXPECT_EQ(keys(selection.candidatePaths(to(kElsewhere), {}, 0)), c.expected);
  }
  auto empty = baseConfig();
  empty.nodes.clear();
  EXPECT_TRUE(PathSelection(empty, table(), false).candidatePaths(to(kElsewhere), {}, 0).empty());
}

TEST(PathSelectionForcedRegion, DefaultRegionUnknownRegionAndNoFallback) {
  auto config = baseConfig();
  config.defaultNodes = {1, 2};
  config.nodeGroups["JP"] = {{3, 0, 1}};
  config.routes = {{"0.0.0.0/0", {4}}};
  PathSelection selection(config, table(), false);

  std::map<std::string, int> firsts;
  for (int i = 0; i < 2000; ++i) {
    auto paths = keys(selection.candidatePaths(to(kRouted), std::string("US"), 0));
    ASSERT_EQ(paths.size(), 2u);
    ++firsts[paths[0]];
  }
  // Equal weights for the default nodes, routes ignored.
  EXPECT_NEAR(firsts[keyOf({1})] / 2000.0, 0.5, 0.06);

  EXPECT_EQ(keys(selection.candidatePaths(to(kRouted), std::string("JP"), 0)),
            std::vector<std::string>{keyOf({3})});
  EXPECT_TRUE(selection.candidatePaths(to(kRouted), std::string("XX"), 0).empty());
  selection.unavailableUntil[keyOf({3})] = 10;
  EXPECT_TRUE(selection.candidatePaths(to(kRouted), std::string("JP"), 0).empty());
}

TEST(PathSelectionWeights, FirstPlaceFollowsTheWeights) {
  PathSelection selection(baseConfig(), table(), false);
  struct Case {
    std::int64_t first, second;
    double share;
  };
  const Case cases[] = {{0, 0, 0.5}, {-4, 1, 0.5}, {3, 1, 0.75}, {1, 3, 0.25}};
  constexpr int rounds = 4000;
  for (const auto& c : cases) {
    int firstWins = 0;
    for (int i = 0; i < rounds; ++i) {
      auto order = selection.weightedOrder({{1, 0, c.first}, {2, 0, c.second}});
      ASSERT_EQ(order.size(), 2u);
      ASSERT_NE(order[0].nodeId, order[1].nodeId);
      firstWins += order[0].nodeId == 1;
    }
    EXPECT_NEAR(double(firstWins) / rounds, c.share, 0.035) << c.first << "/" << c.second;
  }
  // Huge weights neither overflow nor lose members.
  auto huge =
      selection.weightedOrder({{1, 0, INT64_MAX}, {2, 0, INT64_MAX}, {3, 0, INT64_MAX}, {4, 0, 1}});
  EXPECT_EQ(huge.size(), 4u);
}

TEST(PathSelectionRandom, DrawsAreUniformBelowTheBound) {
  SecureRandom random;
  std::array<int, 3> counts{};
  for (int i = 0; i < 30000; ++i) ++counts.at(random.below(3));
  for (int count : counts) EXPECT_NEAR(count / 30000.0, 1.0 / 3, 0.02);
  // A bound just above half the range is where modulo bias would be worst.
  const std::uint64_t bound = (std::uint64_t{1} << 63) + 1;
  int low = 0;
  for (int i = 0; i < 4000; ++i) low += random.below(bound) < bound / 2;
  EXPECT_NEAR(low / 4000.0, 0.5, 0.04);
}

TEST(PathSelectionConfig, DuplicateNodeIDsAllowedKeysAndFingerprint) {
  auto config = baseConfig();
  config.nodes.push_back(ExtensionNode{1, "shadow", "192.0.2.200:443", {}, 0});
  config.routes = {{"198.51.100.0/24", {1}}, {"not a cidr", {2, 3}}, {"0.0.0.0/0", {99}}};
  config.paths = std::vector<ExtensionPath>{{{4}, 0}, {{4, 99}, 0}, {{}, 0}};
  PathSelection selection(config, table(), false);
  EXPECT_EQ(selection.nodesByID().at(1).name, "n1");  // first one wins
  EXPECT_EQ(selection.allowedPathKeys(),
            (std::unordered_set<std::string>{keyOf({1}), keyOf({2, 3}), keyOf({4})}));

  ExtensionBootstrap bootstrap;
  bootstrap.vpnIPv4 = "198.18.0.2";
  bootstrap.config.vpnCidr = "198.18.0.0/16";
  bootstrap.config.mtu = 1400;
  bootstrap.config.dns.servers = {"198.18.0.1", "198.18.0.53"};
  bootstrap.config.nodes = {ExtensionNode{1, "a", "relay-b.test:443", {}, 0},
                            ExtensionNode{2, "b", "relay-a.test:8443", {}, 0},
                            ExtensionNode{3, "c", "relay-b.test:444", {}, 0}};
  EXPECT_EQ(PathSelection::networkFingerprint(bootstrap),
            "198.18.0.2|198.18.0.0/16|1400|198.18.0.1,198.18.0.53|relay-a.test,relay-b.test");
  auto renamed = bootstrap;
  renamed.config.nodes[0].name = "other";
  renamed.config.routes = {{"0.0.0.0/0", {1}}};
  EXPECT_EQ(PathSelection::networkFingerprint(renamed),
            PathSelection::networkFingerprint(bootstrap));
}
