#include "flowgate/routing/packet_metadata.hpp"
#include "tests/unit/routing_packet/packet_builder.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <unordered_set>

using flowgate::PacketFlowKey;
using flowgate::PacketMetadata;
using flowgate::test::Datagram;
using flowgate::test::icmpEcho;
using flowgate::test::tcpHeader;
using flowgate::test::udpHeader;

namespace {

// The parts of the metadata that depend on the transport header.
struct Transport {
  int sourcePort;
  int destinationPort;
  int tcpFlags;
  friend bool operator==(const Transport&, const Transport&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Transport& t) {
    return out << t.sourcePort << "->" << t.destinationPort << " flags " << t.tcpFlags;
  }
};

std::optional<PacketMetadata> parse(const std::vector<std::uint8_t>& bytes) {
  return PacketMetadata::parse(bytes);
}

std::optional<Transport> transport(const std::vector<std::uint8_t>& bytes) {
  const auto metadata = parse(bytes);
  if (!metadata) return std::nullopt;
  return Transport{metadata->flowKey.sourcePort, metadata->flowKey.destinationPort,
                   metadata->tcpFlags};
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
  EXPECT_EQ(transport(Datagram{.headerWords = 6, .payload = udpHeader(1234, 4321)}.bytes()),
            (Transport{1234, 4321, 0}));
}

TEST(PacketMetadataParse, MissingTransportHeaderLeavesPortsZero) {
  EXPECT_EQ(transport(Datagram{.protocol = 17, .payload = {}}.bytes()), (Transport{0, 0, 0}));
  EXPECT_EQ(transport(prefix(Datagram{.payload = udpHeader(1, 2)}.bytes(), 23)),
            (Transport{0, 0, 0}));
}

TEST(PacketMetadataParse, FragmentsCarryNoPortsOrFlags) {
  const auto udp = udpHeader(5000, 53);
  const auto syn = tcpHeader(40000, 443, 0x02);
  // First fragment (more-fragments set, offset 0) although its UDP header is there.
  EXPECT_EQ(transport(Datagram{.fragmentField = 0x2000, .payload = udp}.bytes()),
            (Transport{0, 0, 0}));
  // Last fragment at offset 185 (1480 bytes), with bytes that would read as ports.
  EXPECT_EQ(transport(Datagram{.fragmentField = 185, .payload = udp}.bytes()),
            (Transport{0, 0, 0}));
  // An offset whose only set bits sit in byte 6.
  EXPECT_EQ(transport(Datagram{.fragmentField = 0x0100, .payload = udp}.bytes()),
            (Transport{0, 0, 0}));
  EXPECT_EQ(transport(Datagram{.protocol = 6, .fragmentField = 0x2000, .payload = syn}.bytes()),
            (Transport{0, 0, 0}));
  // Don't-fragment alone is not a fragment.
  EXPECT_EQ(transport(Datagram{.protocol = 6, .fragmentField = 0x4000, .payload = syn}.bytes()),
            (Transport{40000, 443, 0x02}));
}

TEST(PacketMetadataParse, IcmpUsesEchoIdentifierAsSourcePort) {
  const auto echo = Datagram{.protocol = 1, .payload = icmpEcho(0xBEEF)}.bytes();
  EXPECT_EQ(transport(echo), (Transport{0xBEEF, 0, 0}));
  EXPECT_EQ(transport(prefix(echo, 26)), (Transport{0xBEEF, 0, 0}));
  EXPECT_EQ(transport(prefix(echo, 25)), (Transport{0, 0, 0}));
}

TEST(PacketMetadataParse, TcpFlagsNeedTheFullTcpHeader) {
  const auto synAck = Datagram{.protocol = 6, .payload = tcpHeader(443, 40000, 0x12)}.bytes();
  EXPECT_EQ(transport(synAck), (Transport{443, 40000, 0x12}));
  for (std::size_t tcpBytes : {4u, 12u, 19u})
    EXPECT_EQ(transport(prefix(synAck, 20 + tcpBytes)), (Transport{443, 40000, 0})) << tcpBytes;
}

TEST(PacketMetadataParse, OtherProtocolsHaveNoPorts) {
  // GRE whose payload would read as ports and flags.
  const auto gre = Datagram{.protocol = 47, .payload = tcpHeader(1, 2, 0x3f)}.bytes();
  EXPECT_EQ(transport(gre), (Transport{0, 0, 0}));
  EXPECT_EQ(parse(gre)->protocolNumber, 47);
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
  // The reverse direction is another flow.
  PacketFlowKey reverse = base;
  std::swap(reverse.source, reverse.destination);
  std::swap(reverse.sourcePort, reverse.destinationPort);
  keys.push_back(reverse);

  std::unordered_set<std::size_t> hashes;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    hashes.insert(std::hash<PacketFlowKey>{}(keys[i]));
    for (std::size_t j = 0; j < keys.size(); ++j) EXPECT_EQ(keys[i] == keys[j], i == j);
  }
  EXPECT_EQ(hashes.size(), keys.size());
}

}  // namespace
