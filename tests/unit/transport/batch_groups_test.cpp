#include "flowgate/transport/batch_groups.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace flowgate;

namespace {

ExtensionNode node(std::uint64_t id) {
  return ExtensionNode{id, "n", "192.0.2." + std::to_string(id) + ":443", {}, 0};
}

OutboundPacket packetTo(std::uint32_t destination, std::uint16_t sourcePort) {
  OutboundPacket packet;
  packet.metadata.destination = destination;
  packet.metadata.protocolNumber = PacketMetadata::udp;
  packet.metadata.flowKey = {0xc6130009, destination, sourcePort, 53, PacketMetadata::udp};
  packet.bytes = runtime::SharedBytes::copy(std::to_string(sourcePort));
  return packet;
}

// Four equal members in one region: every packet gets a random candidate order.
PathSelection shuffled() {
  ExtensionConfig config;
  config.nodes = {node(1), node(2), node(3), node(4)};
  config.nodeGroups["DE"] = {{1, 0, 1}, {2, 0, 1}, {3, 0, 1}, {4, 0, 1}};
  GeoIPTable table(1, {}, {{0xcb007100, 0xcb0071ff, RegionCode("DE")}}, {});
  return PathSelection(config, table, false);
}

constexpr std::uint32_t kRegion = 0xcb007109;  // 203.0.113.9

}  // namespace

TEST(BatchGroups, AFlowStaysInOneGroupWhateverTheCandidateOrder) {
  auto selection = shuffled();
  FlowRouter router;
  std::vector<OutboundPacket> batch;
  for (int i = 0; i < 48; ++i)
    batch.push_back(packetTo(kRegion, static_cast<std::uint16_t>(i % 3)));
  auto groups = groupBatch(batch, selection, router, {}, 100);
  std::map<std::size_t, std::size_t> groupOfFlow;
  std::size_t packets = 0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    packets += groups[g].packets.size();
    ASSERT_EQ(groups[g].candidates.size(), 4u);
    for (std::size_t k = 0; k < groups[g].items.size(); ++k) {
      if (k > 0) {
        EXPECT_LT(groups[g].items[k - 1], groups[g].items[k]);  // arrival order
      }
      auto known = groupOfFlow.emplace(groups[g].items[k] % 3, g).first;
      EXPECT_EQ(known->second, g);
    }
  }
  EXPECT_EQ(packets, 48u);
}

TEST(BatchGroups, ABoundFlowTriesItsRegisteredPathFirst) {
  auto selection = shuffled();
  FlowRouter router;
  auto registeredPath = std::make_shared<const SessionPath>(std::vector{node(9)}, 0);
  auto pinned = packetTo(kRegion, 7);
  auto unregistered = packetTo(kRegion, 8);
  router.bind(pinned.metadata.flowKey, registeredPath->key, 90);
  router.bind(unregistered.metadata.flowKey, "192.0.2.77:443", 90);
  RegisteredPaths registered{{registeredPath->key, registeredPath}};

  auto groups = groupBatch(std::vector{pinned, unregistered}, selection, router, registered, 100);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].candidates.front(), registeredPath);
  EXPECT_EQ(groups[0].candidates.size(), 5u);  // the pinned path was not a candidate
  EXPECT_EQ(groups[1].candidates.size(), 4u);
  EXPECT_EQ(router.binding(pinned.metadata.flowKey)->lastSeen, 100);  // refreshed by the lookup

  // Nowhere to go: the packet is left out.
  ExtensionConfig empty;
  PathSelection none(empty, GeoIPTable(), false);
  EXPECT_TRUE(groupBatch(std::vector{pinned}, none, router, {}, 100).empty());
}

TEST(BatchGroups, KeptStorageServesTheNextBatchWithNothingOfTheLast) {
  auto selection = shuffled();
  FlowRouter router;
  auto registeredPath = std::make_shared<const SessionPath>(std::vector{node(9)}, 0);
  auto pinned = packetTo(kRegion, 7);
  router.bind(pinned.metadata.flowKey, registeredPath->key, 90);
  RegisteredPaths registered{{registeredPath->key, registeredPath}};
  BatchGroups kept;
  groupBatch(std::vector{pinned, packetTo(kRegion, 8)}, selection, router, registered, 100, kept);
  ASSERT_EQ(kept.count(), 2u);

  groupBatch(std::vector{packetTo(kRegion, 8), packetTo(kRegion, 8)}, selection, router, registered,
             100, kept);
  ASSERT_EQ(kept.count(), 1u);
  EXPECT_EQ(kept.groups[0].candidates.size(), 4u);  // not the pinned group's five
  EXPECT_EQ(kept.groups[0].items, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(kept.groups[0].packets.size(), 2u);
  EXPECT_TRUE(kept.groups[1].packets.empty());  // no slice of the last batch stays held
}
