// A relay in echo mode on loopback: what it accepts, and that everything else
// ends the connection without an answer.

#include "relay_fixture.hpp"

#include "runtime/base64.hpp"

#include <boost/asio/io_context.hpp>

using namespace testsupport;

namespace {

std::string replacePayloadField(const std::string& token, const std::string& from,
                                const std::string& to) {
  auto dot = token.find('.');
  auto json = *runtime::base64::decodeURL(token.substr(0, dot));
  std::string text(json.begin(), json.end());
  auto at = text.find(from);
  text.replace(at, from.size(), to);
  return runtime::base64::encodeURL(
             std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) +
         token.substr(dot);
}

}  // namespace

class RelayAuthentication : public RelayTest {};

TEST_F(RelayAuthentication, ValidCredentialIsAnsweredAndPacketsEchoBack) {
  auto relay = startRelay();
  auto node = client(*relay);
  ASSERT_TRUE(node.handshake());
  node.sendAuthRequest(lab->credential(deviceID, tunnelText));
  auto answer = node.readFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->type, flowgate::FrameType::authResponse);
  ASSERT_EQ(answer->payload.size(), 16u);
  EXPECT_EQ(flowgate::readUInt64BE(answer->payload, 0), deviceID);

  // Two packets in one write, as a client batches them.
  auto ping = icmpEchoRequest(tunnelAddress, farHost, 0x4242, 7, "ping payload");
  Bytes datagram = udpPacket(tunnelAddress, 40000, farHost, 9999, "odd-length udp");
  Bytes batch = ping;
  batch.insert(batch.end(), datagram.begin(), datagram.end());
  node.write(batch);

  auto replies = node.readPackets(2);
  ASSERT_EQ(replies.size(), 2u);
  auto pong = parse(replies[0]);
  EXPECT_EQ(pong.protocol, 1);
  EXPECT_EQ(pong.icmpType, 0);
  EXPECT_EQ(pong.source, farHost);
  EXPECT_EQ(pong.destination, tunnelAddress);
  EXPECT_EQ(pong.icmpIdentifier, 0x4242);
  EXPECT_EQ(pong.icmpSequence, 7);
  EXPECT_TRUE(pong.headerChecksumOK);
  EXPECT_TRUE(pong.transportChecksumOK);
  EXPECT_EQ(std::string(pong.payload.begin(), pong.payload.end()), "ping payload");

  auto echo = parse(replies[1]);
  EXPECT_EQ(echo.protocol, 17);
  EXPECT_EQ(echo.source, farHost);
  EXPECT_EQ(echo.sourcePort, 9999);
  EXPECT_EQ(echo.destination, tunnelAddress);
  EXPECT_EQ(echo.destinationPort, 40000);
  EXPECT_TRUE(echo.headerChecksumOK);
  EXPECT_TRUE(echo.transportChecksumOK);
  EXPECT_EQ(std::string(echo.payload.begin(), echo.payload.end()), "odd-length udp");

  EXPECT_EQ(relay->counter("authentications"), 1u);
  EXPECT_EQ(relay->counter("bytes_in"), batch.size());
  EXPECT_EQ(relay->counter("bytes_out"), batch.size());  // replies are as long as requests
}

TEST_F(RelayAuthentication, PacketsFromOtherSourcesAreDropped) {
  auto relay = startRelay();
  auto node = client(*relay);
  ASSERT_TRUE(node.authenticate(lab->credential(deviceID, tunnelText), deviceID));
  node.write(icmpEchoRequest(ipv4(198, 19, 0, 3), farHost, 1, 1, "spoofed"));
  node.write(icmpEchoRequest(tunnelAddress, farHost, 1, 2, "genuine"));
  auto replies = node.readPackets(2, 1s);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(parse(replies[0]).icmpSequence, 2);
  EXPECT_EQ(relay->counter("dropped"), 1u);
}

TEST_F(RelayAuthentication, CredentialProblemsCloseWithoutAnAnswer) {
  auto relay = startRelay();
  auto valid = lab->credential(deviceID, tunnelText);
  auto stranger = testbed::Ed25519PrivateKey::generate();
  auto claims = lab->claims(deviceID, tunnelText);
  auto expired = lab->claims(deviceID, tunnelText);
  expired.expiresAt = Lab::now() - 1;
  auto early = lab->claims(deviceID, tunnelText);
  early.notBefore = Lab::now() + 600;

  struct Case {
    const char* name;
    std::string credential;
  } cases[] = {
      {"device id changed after signing",
       replacePayloadField(valid, "\"deviceID\":" + std::to_string(deviceID), "\"deviceID\":1")},
      {"tunnel address changed after signing",
       replacePayloadField(valid, tunnelText, "198.19.0.9")},
      {"signed by a stranger under the lab's key id",
       testbed::createCredential(stranger, Lab::keyId, claims)},
      {"unknown key id", testbed::createCredential(stranger, "someone-else", claims)},
      {"expired", lab->credential(expired)},
      {"not yet valid", lab->credential(early)},
      {"not a token", "not-a-token"},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto node = client(*relay);
    ASSERT_TRUE(node.handshake());
    node.sendAuthRequest(c.credential);
    EXPECT_TRUE(node.closedWithoutAnswer());
  }
  EXPECT_EQ(relay->counter("refused"), std::size(cases));
  EXPECT_EQ(relay->counter("authentications"), 0u);
}

TEST_F(RelayAuthentication, FramingProblemsCloseWithoutAnAnswer) {
  auto relay = startRelay();
  auto credential = lab->credential(deviceID, tunnelText);
  auto request = flowgate::Frame{flowgate::FrameType::authRequest,
                                 flowgate::authRequestPayload(credential, {})}
                     .encoded();
  auto withHeader = [&](std::uint32_t total, std::uint8_t version, std::uint8_t type) {
    Bytes bytes = request;
    bytes[0] = static_cast<std::uint8_t>(total >> 24);
    bytes[1] = static_cast<std::uint8_t>(total >> 16);
    bytes[2] = static_cast<std::uint8_t>(total >> 8);
    bytes[3] = static_cast<std::uint8_t>(total);
    bytes[4] = version;
    bytes[5] = type;
    return bytes;
  };
  // A payload whose credential length claims more than the frame holds.
  auto truncatedPayload = request;
  truncatedPayload[6] = 0xff;
  // A hop list that is not a whole number of 6-byte entries.
  auto brokenHops = flowgate::Frame{flowgate::FrameType::authRequest,
                                    flowgate::authRequestPayload(credential, {})};
  brokenHops.payload.push_back(1);

  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"version 2", withHeader(static_cast<std::uint32_t>(request.size()), 2, 1)},
      {"type 3", withHeader(static_cast<std::uint32_t>(request.size()), 1, 3)},
      {"authResponse instead of authRequest",
       withHeader(static_cast<std::uint32_t>(request.size()), 1, 2)},
      {"total length 5", withHeader(5, 1, 1)},
      // Over the limit: refused from the header alone, before any payload.
      {"total length 65,537", withHeader(65537, 1, 1)},
      {"credential longer than the frame", truncatedPayload},
      {"partial hop entry", brokenHops.encoded()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto node = client(*relay);
    ASSERT_TRUE(node.handshake());
    node.write(c.bytes);
    EXPECT_TRUE(node.closedWithoutAnswer());
  }
  EXPECT_EQ(relay->counter("refused"), std::size(cases));
}

TEST_F(RelayAuthentication, AFrameOfExactly65536BytesIsAccepted) {
  // A valid credential and as many hops as fill the frame to the limit; the
  // relay dialling the last hop (a listener of ours) shows the frame was taken.
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::acceptor listener(io, {asio::ip::address_v4::loopback(), 0});
  flowgate::HopEndpoint ours{ipv4(127, 0, 0, 1), listener.local_endpoint().port()};

  std::string credential;
  std::uint64_t id = 1;
  for (; id < 10'000'000; id *= 10) {  // each digit more makes the token a byte longer
    credential = lab->credential(id, tunnelText);
    if ((65528 - credential.size()) % 6 == 0) break;
  }
  ASSERT_EQ((65528 - credential.size()) % 6, 0u);
  std::vector<flowgate::HopEndpoint> later((65528 - credential.size()) / 6, ours);
  flowgate::Frame request{flowgate::FrameType::authRequest,
                          flowgate::authRequestPayload(credential, later)};
  ASSERT_EQ(request.encoded().size(), 65536u);

  auto relay = startRelay();
  auto node = client(*relay);
  ASSERT_TRUE(node.handshake());
  node.writeFrame(request);
  bool dialled = false;
  listener.async_accept(
      [&](boost::system::error_code error, asio::ip::tcp::socket) { dialled = !error; });
  io.run_for(5s);
  EXPECT_TRUE(dialled);
  EXPECT_TRUE(node.closedWithoutAnswer());
}

TEST_F(RelayAuthentication, TLS12IsRefused) {
  auto relay = startRelay();
  NodeClient node(relay->port(), lab->paths().nodeCA().string(), NodeClient::TLSVersion::tls12);
  EXPECT_FALSE(node.handshake());
  EXPECT_EQ(relay->counter("tls_failures"), 1u);
}

TEST_F(RelayAuthentication, ABadIPv4HeaderInTheDataPhaseEndsTheSession) {
  auto relay = startRelay();
  auto node = client(*relay);
  ASSERT_TRUE(node.authenticate(lab->credential(deviceID, tunnelText), deviceID));
  Bytes ipv6(40, 0);
  ipv6[0] = 0x60;
  node.write(ipv6);
  ReadEnd end{};
  EXPECT_TRUE(node.readPackets(1, 5s, &end).empty());
  EXPECT_EQ(end, ReadEnd::closed);
}
