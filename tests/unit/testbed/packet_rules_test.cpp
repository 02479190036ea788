#include "testbed/relay/packet_rules.hpp"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A UDP or ICMP packet with a plain 20-byte header; checksums left zero.
Bytes packetOf(std::uint8_t protocol, std::size_t bodySize) {
  Bytes p(20 + bodySize, 0);
  p[0] = 0x45;
  p[2] = static_cast<std::uint8_t>(p.size() >> 8);
  p[3] = static_cast<std::uint8_t>(p.size());
  p[8] = 5;
  p[9] = protocol;
  p[12] = 198, p[13] = 19, p[14] = 0, p[15] = 2;
  p[16] = 203, p[17] = 0, p[18] = 113, p[19] = 7;
  return p;
}

Bytes udp(std::size_t payload) {
  auto p = packetOf(packet::udpProtocol, 8 + payload);
  p[20] = 0x9c, p[21] = 0x40;  // 40000
  p[22] = 0x00, p[23] = 0x35;  // 53
  p[24] = static_cast<std::uint8_t>((8 + payload) >> 8);
  p[25] = static_cast<std::uint8_t>(8 + payload);
  for (std::size_t i = 0; i < payload; ++i) p[28 + i] = static_cast<std::uint8_t>(i * 7);
  return p;
}

bool sumsToZero(std::span<const std::uint8_t> bytes, std::uint32_t pseudo = 0) {
  return packet::internetChecksum(bytes, pseudo) == 0;
}

std::uint32_t udpPseudo(const Bytes& p) {
  auto s = packet::sourceAddress(p), d = packet::destinationAddress(p);
  return (s >> 16) + (s & 0xffff) + (d >> 16) + (d & 0xffff) + 17 +
         static_cast<std::uint32_t>(p.size() - 20);
}

}  // namespace

TEST(InternetChecksum, MatchesTheKnownExampleAndOddLengths) {
  // The classic header example: checksum 0xb861.
  Bytes header{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
               0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  EXPECT_EQ(packet::internetChecksum(header), 0xb861);
  EXPECT_EQ(packet::internetChecksum(Bytes{0x01}), 0xfeff);
}

TEST(EchoReply, UDPGoesBackWithAddressesPortsAndChecksumsRight) {
  for (std::size_t payload : {0u, 1u, 13u, 1372u}) {
    auto request = udp(payload);
    Bytes out{0xee};  // replies are appended to what is queued
    ASSERT_TRUE(packet::appendEchoReply(request, out));
    Bytes reply(out.begin() + 1, out.end());
    ASSERT_EQ(reply.size(), request.size());
    EXPECT_EQ(packet::sourceAddress(reply), packet::destinationAddress(request));
    EXPECT_EQ(packet::destinationAddress(reply), packet::sourceAddress(request));
    EXPECT_EQ(reply[20], request[22]);
    EXPECT_EQ(reply[23], request[21]);
    EXPECT_EQ(reply[8], 64);
    EXPECT_TRUE(sumsToZero(std::span(reply).first(20)));
    EXPECT_TRUE(sumsToZero(std::span(reply).subspan(20), udpPseudo(reply))) << payload;
    EXPECT_TRUE(std::equal(reply.begin() + 28, reply.end(), request.begin() + 28));
  }
}

TEST(EchoReply, OnlyEchoRequestsOfICMPAreAnswered) {
  auto request = packetOf(packet::icmpProtocol, 8 + 5);
  request[20] = 8;
  Bytes out;
  ASSERT_TRUE(packet::appendEchoReply(request, out));
  EXPECT_EQ(out[20], 0);
  EXPECT_TRUE(sumsToZero(std::span(out).subspan(20)));

  request[20] = 0;  // a reply is not answered
  EXPECT_FALSE(packet::appendEchoReply(request, out));
  request[20] = 13;  // timestamp
  EXPECT_FALSE(packet::appendEchoReply(request, out));
}

TEST(EchoReply, FragmentsOtherProtocolsAndInconsistentLengthsAreLeftAlone) {
  auto fragment = udp(10);
  fragment[6] = 0x20;  // more fragments
  auto offset = udp(10);
  offset[7] = 0x01;
  auto tcp = packetOf(6, 20);
  auto longUDP = udp(10);
  longUDP[25] = 100;  // UDP length past the packet
  auto shortUDP = udp(10);
  shortUDP[25] = 7;
  auto badTotal = udp(10);
  badTotal[3] = 20;
  for (const auto& p : {fragment, offset, tcp, longUDP, shortUDP, badTotal}) {
    Bytes out;
    EXPECT_FALSE(packet::appendEchoReply(p, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(UDPDatagram, ReadsPortsAndPayloadAndBuildsAnswers) {
  auto request = udp(6);
  auto datagram = packet::udpDatagram(request);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->sourcePort, 40000);
  EXPECT_EQ(datagram->destinationPort, 53);
  EXPECT_EQ(datagram->payload.size(), 6u);

  Bytes out;
  packet::appendUDPPacket(out, datagram->destination, 53, datagram->source, 40000,
                          datagram->payload);
  auto answer = packet::udpDatagram(out);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->source, datagram->destination);
  EXPECT_EQ(answer->destinationPort, 40000);
  EXPECT_TRUE(sumsToZero(std::span(out).first(20)));
  EXPECT_TRUE(sumsToZero(std::span(out).subspan(20), udpPseudo(out)));
}
