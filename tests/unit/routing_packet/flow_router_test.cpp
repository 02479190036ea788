#include "flowgate/routing/flow_router.hpp"
#include "tests/unit/routing_packet/packet_builder.hpp"

#include <gtest/gtest.h>

using flowgate::FlowRouter;
using flowgate::PacketFlowKey;
using flowgate::PacketMetadata;
using flowgate::test::Datagram;
using flowgate::test::tcpHeader;

namespace {

const std::string pathA = "192.0.2.1:443";
const std::string pathAB = "192.0.2.1:443>198.51.100.2:443";
const std::string pathB = "198.51.100.2:443";

PacketFlowKey flow(std::uint16_t sourcePort, std::uint8_t proto = 17) {
  return {.source = 0xC0000201,
          .destination = 0xCB007107,
          .sourcePort = sourcePort,
          .destinationPort = 443,
          .proto = proto};
}

PacketMetadata tcpSegment(std::uint8_t flags) {
  return *PacketMetadata::parse(
      Datagram{.protocol = 6, .payload = tcpHeader(40000, 443, flags)}.bytes());
}

TEST(FlowRouter, IdleLimitsDependOnProtocol) {
  FlowRouter router;
  const auto udpOld = flow(1), udpYounger = flow(2);
  const auto tcpOld = flow(3, 6), tcpYounger = flow(4, 6);
  router.bind(udpOld, pathA, 1000);
  router.bind(udpYounger, pathA, 1000.25);
  router.bind(tcpOld, pathA, 1000);
  router.bind(tcpYounger, pathA, 1000.25);

  // A flow idle for exactly its limit goes; one a moment younger stays.
  ASSERT_TRUE(router.cleanup(1120));
  EXPECT_FALSE(router.binding(udpOld));
  EXPECT_TRUE(router.binding(udpYounger));
  EXPECT_TRUE(router.binding(tcpOld));

  ASSERT_TRUE(router.cleanup(1180));
  EXPECT_FALSE(router.binding(udpYounger));

  ASSERT_TRUE(router.cleanup(1600));
  EXPECT_FALSE(router.binding(tcpOld));
  ASSERT_TRUE(router.binding(tcpYounger));
  EXPECT_EQ(router.binding(tcpYounger)->pathKey, pathA);

  ASSERT_TRUE(router.cleanup(1660));
  EXPECT_TRUE(router.bindings().empty());
}

TEST(FlowRouter, SweepsAtMostOncePerMinute) {
  FlowRouter router;
  EXPECT_EQ(router.lastCleanup(), 0);
  // Shortly after boot the uptime has not yet reached one interval.
  EXPECT_FALSE(router.cleanup(59.5));
  EXPECT_EQ(router.lastCleanup(), 0);
  // The first packet once the uptime is past the interval sweeps.
  EXPECT_TRUE(router.cleanup(1000));
  EXPECT_EQ(router.lastCleanup(), 1000);

  router.bind(flow(1), pathA, 1000);
  // Long expired, but the next sweep is not due yet.
  EXPECT_FALSE(router.cleanup(1059.75));
  EXPECT_FALSE(router.cleanup(1059.75 + 0.125));
  EXPECT_EQ(router.lastCleanup(), 1000);
  EXPECT_TRUE(router.binding(flow(1)));
  // Evaluated at a later time, it has expired: the sweep is what removes it.
  EXPECT_TRUE(router.cleanup(1120));
  EXPECT_FALSE(router.binding(flow(1)));
  EXPECT_EQ(router.lastCleanup(), 1120);
}

TEST(FlowRouter, LookupRefreshesAtMostOncePerSecond) {
  FlowRouter router;
  EXPECT_FALSE(router.lookup(flow(1), 1000));

  router.bind(flow(1), pathA, 1000);
  EXPECT_EQ(router.lookup(flow(1), 1000.5), pathA);
  EXPECT_EQ(router.binding(flow(1))->lastSeen, 1000);
  EXPECT_EQ(router.lookup(flow(1), 1001), pathA);
  EXPECT_EQ(router.binding(flow(1))->lastSeen, 1001);
  EXPECT_EQ(router.lookup(flow(1), 1001.75), pathA);
  EXPECT_EQ(router.binding(flow(1))->lastSeen, 1001);

  // A refreshed flow survives the sweep its original binding time would not.
  router.lookup(flow(1), 1100);
  router.cleanup(1150);
  EXPECT_EQ(router.lookup(flow(1), 1150), pathA);
}

TEST(FlowRouter, BindOverwritesPathAndTime) {
  FlowRouter router;
  router.bind(flow(1), pathA, 1000);
  router.bind(flow(1), pathAB, 1000.5);
  EXPECT_EQ(*router.binding(flow(1)), (FlowRouter::Binding{pathAB, 1000.5}));
  EXPECT_EQ(router.bindings().size(), 1u);
}

TEST(FlowRouter, FinOrRstEndsATcpFlow) {
  const auto rst = tcpSegment(0x04), fin = tcpSegment(0x11), synAck = tcpSegment(0x12);
  ASSERT_EQ(rst.flowKey, synAck.flowKey);

  FlowRouter router;
  router.recordSent(synAck, pathA, 1000);
  EXPECT_EQ(router.lookup(synAck.flowKey, 1000), pathA);

  router.recordSent(rst, pathA, 1001);
  EXPECT_FALSE(router.binding(rst.flowKey));
  // A reset of a flow that was never bound leaves nothing behind either.
  router.recordSent(rst, pathB, 1002);
  EXPECT_TRUE(router.bindings().empty());

  router.bind(fin.flowKey, pathA, 1003);
  EXPECT_TRUE(router.release(fin));
  EXPECT_FALSE(router.binding(fin.flowKey));

  router.bind(synAck.flowKey, pathA, 1004);
  EXPECT_FALSE(router.release(synAck));
  EXPECT_TRUE(router.binding(synAck.flowKey));
}

TEST(FlowRouter, RemovePathDropsExactlyItsFlows) {
  FlowRouter router;
  router.bind(flow(1), pathA, 1000);
  router.bind(flow(2), pathA, 1000);
  router.bind(flow(3, 6), pathA, 1000);
  router.bind(flow(4), pathAB, 1000);
  router.bind(flow(5), pathB, 1000);

  router.remove(pathA);
  EXPECT_EQ(router.bindings().size(), 2u);
  EXPECT_EQ(router.lookup(flow(4), 1000), pathAB);
  EXPECT_EQ(router.lookup(flow(5), 1000), pathB);

  router.remove("203.0.113.9:443");
  EXPECT_EQ(router.bindings().size(), 2u);

  router.removeAll();
  EXPECT_TRUE(router.bindings().empty());
}

TEST(FlowRouter, AFullTableEvictsOnlyTheLeastRecentlyUsedIdleFlow) {
  FlowRouter router(3);
  ASSERT_TRUE(router.bind(flow(1), pathA, 1000));
  ASSERT_TRUE(router.bind(flow(2, 6), pathA, 1005));
  ASSERT_TRUE(router.bind(flow(3), pathA, 1008));
  // Every flow was seen within the eviction age: the new one is not pinned.
  EXPECT_FALSE(router.bind(flow(4), pathB, 1009));
  EXPECT_FALSE(router.binding(flow(4)));
  // Flow 1 is used again, so the TCP flow is the least recently used of both lists.
  router.lookup(flow(1), 1012);
  EXPECT_TRUE(router.bind(flow(4), pathB, 1016));
  EXPECT_FALSE(router.binding(flow(2, 6)));
  EXPECT_TRUE(router.binding(flow(1)) && router.binding(flow(3)));
  // Rebinding a known flow needs no room.
  EXPECT_TRUE(router.bind(flow(3), pathB, 1016));
  EXPECT_EQ(router.size(), 3u);
}

TEST(FlowRouter, ALongSweepIsSpreadOverTheFollowingCalls) {
  FlowRouter router;
  const std::size_t expired = FlowRouter::sweepStep * 2 + 5;
  for (std::size_t i = 0; i < expired; ++i)
    router.bind(flow(static_cast<std::uint16_t>(i)), pathA, 1000);
  router.bind(flow(60000), pathA, 1100);

  EXPECT_TRUE(router.cleanup(1120));
  EXPECT_EQ(router.size(), expired + 1 - FlowRouter::sweepStep);
  EXPECT_FALSE(router.cleanup(1120.5));
  EXPECT_FALSE(router.cleanup(1121));
  EXPECT_EQ(router.bindings(), (FlowRouter::Bindings{{flow(60000), {pathA, 1100}}}));
}

}  // namespace
