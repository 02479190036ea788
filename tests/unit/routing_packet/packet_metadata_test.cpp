#include "flowgate/routing/packet_metadata.hpp"
#include "tests/unit/routing_packet/packet_builder.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

using flowgate::PacketFlowKey;
using flowgate::PacketMetadata;
using flowgate::test::Datagram;
using flowgate::test::icmpEcho;
using flowgate::test::tcpHeader;
using flowgate::test::udpHeader;

namespace {

std::optional<PacketMetadata> parse(const std::vector<std::uint8_t>& bytes) {
  return PacketMetadata::parse(bytes);
}

std::vector<std::uint8_t> prefix(std::vector<std::uint8_t> bytes, std::size_t length) {
  bytes.resize(length);
  return bytes;
}

TEST(PacketMetadataParse, UnusablePacketsYieldNothing) {
  const auto udp = Datagram{.payload = udpHeader(5000, 53)}.bytes();
  EXPECT_FALSE(parse({}));
  EXPECT_FALSE(parse(prefix(udp, 19)));

  Datagram ipv6{.payload = std::vector<std::uint8_t>(40, 0)};
  ipv6.version = 6;
  EXPECT_FALSE(parse(ipv6.bytes()));

  // The header-length nibble 4 claims a 16-byte header.
  EXPECT_FALSE(parse(Datagram{.headerWords = 4, .payload = udpHeader(5000, 53)}.bytes()));

  // A packet shorter than the 60 bytes its header announces.
  const auto longHeader = Datagram{.headerWords = 15, .payload = {}}.bytes();
  EXPECT_FALSE(parse(prefix(longHeader, 59)));
  EXPECT_TRUE(parse(longHeader));
}

TEST(PacketMetadataParse, UdpReadsFiveTupleAndIgnoresChecksumAndTotalLength) {
  auto bytes = Datagram{.payload = udpHeader(50123, 53)}.bytes();
  bytes[2] = bytes[3] = 0;       // total length
  bytes[10] = bytes[11] = 0xff;  // checksum
  const auto metadata = parse(bytes);
  ASSERT_TRUE(metadata);
  const PacketFlowKey expected{.source = 0xC0000201,
                               .destination = 0xCB007107,
                               .sourcePort = 50123,
                               .destinationPort = 53,
                               .proto = 17};
  EXPECT_EQ(metadata->flowKey, expected);
  EXPECT_EQ(metadata->destination, 0xCB007107u);
  EXPECT_EQ(metadata->protocolNumber, 17);
  EXPECT_EQ(metadata->tcpFlags, 0);
}

TEST(PacketMetadataParse, TransportHeaderFollowsIpOptions) {
  Datagram datagram{.headerWords = 6, .payload = udpHeader(1234, 4321)};
  const auto metadata = parse(datagram.bytes());
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->flowKey.sourcePort, 1234);
  EXPECT_EQ(metadata->flowKey.destinationPort, 4321);
}

TEST(PacketMetadataParse, MissingTransportHeaderLeavesPortsZero) {
  const auto bare = parse(Datagram{.protocol = 17, .payload = {}}.bytes());
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->flowKey.sourcePort, 0);
  EXPECT_EQ(bare->flowKey.destinationPort, 0);

  const auto threeBytes = parse(prefix(Datagram{.payload = udpHeader(1, 2)}.bytes(), 23));
  ASSERT_TRUE(threeBytes);
  EXPECT_EQ(threeBytes->flowKey.sourcePort, 0);
  EXPECT_EQ(threeBytes->flowKey.destinationPort, 0);
}

TEST(PacketMetadataParse, FragmentsCarryNoPortsOrFlags) {
  // First fragment: more-fragments set, offset 0, the UDP header present.
  const auto first =
      parse(Datagram{.fragmentField = 0x2000, .payload = udpHeader(5000, 53)}.bytes());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->flowKey.sourcePort, 0);
  EXPECT_EQ(first->flowKey.destinationPort, 0);
  EXPECT_EQ(first->flowKey.proto, 17);

  // Last fragment: offset 185 (1480 bytes), payload bytes that would read as ports.
  const auto last = parse(Datagram{.fragmentField = 185, .payload = udpHeader(5000, 53)}.bytes());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->flowKey.sourcePort, 0);
  EXPECT_EQ(last->flowKey.destinationPort, 0);

  // An offset whose only set bits sit in byte 6.
  const auto far = parse(Datagram{.fragmentField = 0x0100, .payload = udpHeader(5000, 53)}.bytes());
  ASSERT_TRUE(far);
  EXPECT_EQ(far->flowKey.sourcePort, 0);

  const auto tcp =
      parse(Datagram{.protocol = 6, .fragmentField = 0x2000, .payload = tcpHeader(40000, 443, 0x02)}
                .bytes());
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->flowKey.sourcePort, 0);
  EXPECT_EQ(tcp->tcpFlags, 0);
}

TEST(PacketMetadataParse, DontFragmentAloneIsNotAFragment) {
  const auto metadata =
      parse(Datagram{.protocol = 6, .fragmentField = 0x4000, .payload = tcpHeader(40000, 443, 0x10)}
                .bytes());
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->flowKey.sourcePort, 40000);
  EXPECT_EQ(metadata->flowKey.destinationPort, 443);
  EXPECT_EQ(metadata->tcpFlags, 0x10);
}

TEST(PacketMetadataParse, IcmpUsesEchoIdentifierAsSourcePort) {
  const auto echo = Datagram{.protocol = 1, .payload = icmpEcho(0xBEEF)}.bytes();
  const auto metadata = parse(echo);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->flowKey.sourcePort, 0xBEEF);
  EXPECT_EQ(metadata->flowKey.destinationPort, 0);
  EXPECT_EQ(metadata->tcpFlags, 0);

  const auto sixBytes = parse(prefix(echo, 26));
  ASSERT_TRUE(sixBytes);
  EXPECT_EQ(sixBytes->flowKey.sourcePort, 0xBEEF);

  const auto fiveBytes = parse(prefix(echo, 25));
  ASSERT_TRUE(fiveBytes);
  EXPECT_EQ(fiveBytes->flowKey.sourcePort, 0);
  EXPECT_EQ(fiveBytes->flowKey.destinationPort, 0);
}

TEST(PacketMetadataParse, TcpFlagsNeedTheFullTcpHeader) {
  const auto synAck = Datagram{.protocol = 6, .payload = tcpHeader(443, 40000, 0x12)}.bytes();
  const auto full = parse(synAck);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->tcpFlags, 0x12);
  EXPECT_EQ(full->flowKey.sourcePort, 443);
  EXPECT_EQ(full->flowKey.destinationPort, 40000);

  for (std::size_t tcpBytes : {12u, 14u, 19u}) {
    const auto cut = parse(prefix(synAck, 20 + tcpBytes));
    ASSERT_TRUE(cut) << tcpBytes;
    EXPECT_EQ(cut->flowKey.sourcePort, 443) << tcpBytes;
    EXPECT_EQ(cut->flowKey.destinationPort, 40000) << tcpBytes;
    EXPECT_EQ(cut->tcpFlags, 0) << tcpBytes;
  }
}

TEST(PacketMetadataParse, OtherProtocolsHaveNoPorts) {
  // GRE whose payload would read as ports.
  const auto metadata = parse(Datagram{.protocol = 47, .payload = tcpHeader(1, 2, 0x3f)}.bytes());
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->flowKey.sourcePort, 0);
  EXPECT_EQ(metadata->flowKey.destinationPort, 0);
  EXPECT_EQ(metadata->tcpFlags, 0);
  EXPECT_EQ(metadata->protocolNumber, 47);
}

TEST(PacketFlowKey, EveryFieldTakesPartInEqualityAndHash) {
  const PacketFlowKey base{.source = 0xC0000201,
                           .destination = 0xCB007107,
                           .sourcePort = 40000,
                           .destinationPort = 443,
                           .proto = 6};
  std::vector<PacketFlowKey> keys(6, base);
  keys[1].source ^= 1;
  keys[2].destination ^= 1;
  keys[3].sourcePort ^= 1;
  keys[4].destinationPort ^= 1;
  keys[5].proto = 17;

  std::unordered_set<std::size_t> hashes;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    hashes.insert(std::hash<PacketFlowKey>{}(keys[i]));
    for (std::size_t j = 0; j < keys.size(); ++j) EXPECT_EQ(keys[i] == keys[j], i == j);
  }
  EXPECT_EQ(hashes.size(), keys.size());
  // Swapping source and destination is another flow.
  PacketFlowKey swapped = base;
  std::swap(swapped.source, swapped.destination);
  std::swap(swapped.sourcePort, swapped.destinationPort);
  EXPECT_NE(std::hash<PacketFlowKey>{}(swapped), std::hash<PacketFlowKey>{}(base));
}

}  // namespace
