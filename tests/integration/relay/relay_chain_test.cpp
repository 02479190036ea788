// Relays chained on loopback, and the echo exit's DNS forwarding.

#include "relay_fixture.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <thread>

using namespace testsupport;

class RelayChain : public RelayTest {};

TEST_F(RelayChain, ThreeNodesCarryPacketsEndToEndWithOneAuthenticationEach) {
  auto exit = startRelay(2);
  auto middle = startRelay(1);
  auto entry = startRelay(0);
  std::vector<flowgate::HopEndpoint> later{{ipv4(127, 0, 0, 1), middle->port()},
                                           {ipv4(127, 0, 0, 1), exit->port()}};
  auto node = client(*entry);
  ASSERT_TRUE(node.authenticate(lab->credential(deviceID, tunnelText), deviceID, later));

  std::vector<Bytes> sent;
  Bytes batch;
  for (std::uint16_t i = 0; i < 50; ++i) {
    sent.push_back(icmpEchoRequest(tunnelAddress, farHost, 9, i, std::string(i * 20, 'p')));
    batch.insert(batch.end(), sent.back().begin(), sent.back().end());
  }
  node.write(batch);
  auto replies = node.readPackets(sent.size());
  ASSERT_EQ(replies.size(), sent.size());
  for (std::uint16_t i = 0; i < sent.size(); ++i) {
    auto reply = parse(replies[i]);
    EXPECT_EQ(reply.icmpSequence, i);
    EXPECT_EQ(reply.payload.size(), i * 20u);
    EXPECT_TRUE(reply.transportChecksumOK);
  }

  for (auto* relay : {entry.get(), middle.get(), exit.get()}) {
    EXPECT_EQ(relay->counter("connections"), 1u);
    EXPECT_EQ(relay->counter("authentications"), 1u);
    EXPECT_EQ(relay->counter("bytes_in"), batch.size());
  }
}

TEST_F(RelayChain, AnUnreachableNextHopLeavesTheClientUnanswered) {
  auto entry = startRelay(0);
  std::uint16_t closedPort;
  {
    auto gone = startRelay(1);
    closedPort = gone->port();
  }
  auto node = client(*entry);
  ASSERT_TRUE(node.handshake());
  node.sendAuthRequest(lab->credential(deviceID, tunnelText), {{ipv4(127, 0, 0, 1), closedPort}});
  EXPECT_TRUE(node.closedWithoutAnswer());
  EXPECT_EQ(entry->counter("refused"), 1u);
}

TEST_F(RelayChain, ANextHopThatRefusesLeavesTheClientUnanswered) {
  auto exit = startRelay(1);
  ASSERT_EQ(exit->command("refuse on"), "ok");
  auto entry = startRelay(0);
  auto node = client(*entry);
  ASSERT_TRUE(node.handshake());
  node.sendAuthRequest(lab->credential(deviceID, tunnelText), {{ipv4(127, 0, 0, 1), exit->port()}});
  EXPECT_TRUE(node.closedWithoutAnswer());
  EXPECT_EQ(entry->counter("authentications"), 0u);
}

TEST_F(RelayChain, ANextHopWhoseCertificateNamesAnotherAddressIsNotTrusted) {
  // The same node reached as 127.0.0.2: its certificate names 127.0.0.1 only.
  auto exit = startRelay(1, {"--listen", "127.0.0.2:0"});
  auto entry = startRelay(0);
  auto node = client(*entry);
  ASSERT_TRUE(node.handshake());
  node.sendAuthRequest(lab->credential(deviceID, tunnelText), {{ipv4(127, 0, 0, 2), exit->port()}});
  EXPECT_TRUE(node.closedWithoutAnswer());
  EXPECT_EQ(exit->counter("authentications"), 0u);
}

TEST_F(RelayChain, EchoExitForwardsDNSToTheUpstreamAndAnswersAsTheServiceAddress) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::udp::socket resolver(io, {asio::ip::address_v4::loopback(), 0});
  std::thread answering([&] {
    std::array<std::uint8_t, 512> query;
    asio::ip::udp::endpoint from;
    auto n = resolver.receive_from(asio::buffer(query), from);
    Bytes answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(n));
    answer.insert(answer.end(), {'-', 'a', 'n', 's'});
    resolver.send_to(asio::buffer(answer), from);
  });

  auto upstream = "127.0.0.1:" + std::to_string(resolver.local_endpoint().port());
  auto relay = startRelay(0, {"--dns", "198.51.100.53", "--dns-upstream", upstream});
  auto node = client(*relay);
  ASSERT_TRUE(node.authenticate(lab->credential(deviceID, tunnelText), deviceID));
  auto dnsService = ipv4(198, 51, 100, 53);
  node.write(udpPacket(tunnelAddress, 5353, dnsService, 53, "\x12\x34query"));
  auto replies = node.readPackets(1);
  answering.join();
  ASSERT_EQ(replies.size(), 1u);
  auto reply = parse(replies[0]);
  EXPECT_EQ(reply.source, dnsService);
  EXPECT_EQ(reply.sourcePort, 53);
  EXPECT_EQ(reply.destination, tunnelAddress);
  EXPECT_EQ(reply.destinationPort, 5353);
  EXPECT_TRUE(reply.headerChecksumOK);
  EXPECT_TRUE(reply.transportChecksumOK);
  EXPECT_EQ(std::string(reply.payload.begin(), reply.payload.end()), "\x12\x34query-ans");
}
