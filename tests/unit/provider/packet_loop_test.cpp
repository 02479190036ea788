#include "flowgate/provider/packet_loop.hpp"
#include "flowgate/provider/packet_writer.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace flowgate;

namespace {

constexpr std::uint32_t client = 0xc6130002;     // 198.19.0.2
constexpr std::uint32_t dnsServer = 0xc6130035;  // 198.19.0.53
constexpr std::uint32_t other = 0xcb007150;      // 203.0.113.80

runtime::SharedBytes udp(std::uint32_t destination, std::uint16_t port, std::size_t payload = 20) {
  return runtime::SharedBytes(
      dns_test::udpPacket(client, destination, 40000, port, dns_test::Bytes(payload, 0)));
}

// The check the loop makes of each parsed packet.
bool isDNSQuery(std::span<const std::uint8_t> packet) {
  auto metadata = PacketMetadata::parse(packet);
  return metadata && DNSProxy::isQuery(*metadata, {dnsServer});
}

}  // namespace

TEST(PacketLoop, SortsOneReadBetweenPoolAndDNSProxy) {
  auto query = udp(dnsServer, 53);
  auto shortQuery = udp(dnsServer, 53, 0).slice(0, 27);
  auto mdns = udp(dnsServer, 5353);
  auto elsewhere = udp(other, 53);
  auto ipv6 = runtime::SharedBytes(dns_test::Bytes(60, 0x60));
  auto garbage = runtime::SharedBytes(dns_test::Bytes{0x45, 0, 0});
  auto secondQuery = udp(dnsServer, 53, 30);
  const std::unordered_set<std::uint32_t> servers{dnsServer};

  platform::PacketBatch batch;
  for (const auto& [packet, family] :
       std::vector<std::pair<runtime::SharedBytes, int>>{{mdns, platform::kFamilyIPv4},
                                                         {query, platform::kFamilyIPv4},
                                                         {ipv6, platform::kFamilyIPv6},
                                                         {shortQuery, platform::kFamilyIPv4},
                                                         {garbage, platform::kFamilyIPv4},
                                                         {elsewhere, platform::kFamilyIPv4},
                                                         {secondQuery, platform::kFamilyIPv4},
                                                         {udp(other, 80), platform::kFamilyIPv4}}) {
    batch.packets.push_back(packet);
    batch.protocols.push_back(family);
  }
  batch.protocols.pop_back();  // the last packet has no family: dropped

  auto sorted = sortBatch(batch, servers, true);
  ASSERT_EQ(sorted.forPool.size(), 3u);
  // Read order kept: port 5353, a 27-byte datagram, another address's port 53.
  EXPECT_EQ(sorted.forPool[0].bytes.span().size(), mdns.span().size());
  EXPECT_EQ(sorted.forPool[0].metadata.flowKey.destinationPort, 5353);
  EXPECT_EQ(sorted.forPool[1].bytes.span().size(), 27u);
  EXPECT_EQ(sorted.forPool[2].metadata.destination, other);
  ASSERT_EQ(sorted.dnsQueries.size(), 2u);
  EXPECT_EQ(sorted.dnsQueries[1].bytes.span().size(), secondQuery.span().size());

  // Without a DNS proxy the queries travel with the rest.
  auto unproxied = sortBatch(batch, servers, false);
  EXPECT_EQ(unproxied.forPool.size(), 5u);
  EXPECT_TRUE(unproxied.dnsQueries.empty());
}

TEST(PacketLoop, OnlyIPv6ReadMakesAnEmptyBatch) {
  platform::PacketBatch batch;
  batch.packets = {udp(other, 80), udp(other, 81)};
  batch.protocols = {platform::kFamilyIPv6, 30};
  EXPECT_TRUE(sortBatch(batch, {}, true).forPool.empty());
}

TEST(PacketLoop, DNSQueryTestReadsTheHeaderLength) {
  auto withOptions = dns_test::udpPacket(client, dnsServer, 40000, 53, dns_test::Bytes(20, 0));
  EXPECT_TRUE(isDNSQuery(withOptions));
  withOptions[0] = 0x46;  // a 24-byte header puts port 53 where the options are
  EXPECT_FALSE(isDNSQuery(withOptions));
  withOptions[0] = 0x44;  // a header shorter than 20 bytes
  EXPECT_FALSE(isDNSQuery(withOptions));
}

TEST(PacketWriter, DeliversUntilClosed) {
  std::vector<std::size_t> delivered;
  PacketWriter* self = nullptr;
  PacketWriter writer([&](const std::vector<runtime::SharedBytes>& packets) {
    delivered.push_back(packets.size());
    // An empty write never takes the lock, so it cannot wait on this delivery.
    self->write({});
  });
  self = &writer;
  auto packet = udp(other, 80);
  writer.write({});
  writer.write({packet, packet});
  writer.close();
  writer.write({packet, packet, packet});
  EXPECT_EQ(delivered, std::vector<std::size_t>{2});
  EXPECT_TRUE(writer.closed());
}
