#include "flowgate/transport/protocol_error.hpp"
#include "session_fixture.hpp"

#include <boost/asio/ssl/error.hpp>

using namespace sessiontest;
using flowgate::ProtocolError;

TEST_F(SessionTest, BatchesComeBackInOrderFromAnEchoExit) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  collect(*session);
  std::uint16_t sequence = 0;
  for (int batch = 0; batch < 5; ++batch) {
    EXPECT_TRUE(await(session->sendBatch(echoBatch(sequence, 64, 50 + batch * 200))));
    sequence += 64;
  }
  ASSERT_TRUE(runUntil([&] { return received.size() == sequence; }));
  for (std::uint16_t i = 0; i < sequence; ++i) {
    auto reply = parse(received[i].span());
    EXPECT_EQ(reply.icmpType, 0);
    EXPECT_EQ(reply.icmpSequence, i);
    EXPECT_EQ(reply.destination, tunnelAddress);
  }
  EXPECT_TRUE(await(session->isActive()));
  EXPECT_FALSE(await(session->sendBatch({})));
  EXPECT_TRUE(dropped.empty());
}

TEST_F(SessionTest, AThreeNodePathAuthenticatesThroughTheChain) {
  auto exit = startRelay(2);
  auto middle = startRelay(1);
  auto entry = startRelay(0);
  // Later nodes are listed for the relays, which dial them by IPv4 address.
  auto session =
      connect({node(1, entry->port(), "relay-a"), node(2, middle->port()), node(3, exit->port())});
  collect(*session);
  EXPECT_TRUE(await(session->sendBatch(echoBatch(0, 10))));
  ASSERT_TRUE(runUntil([&] { return received.size() == 10; }));
  for (auto* relay : {entry.get(), middle.get(), exit.get()}) {
    EXPECT_EQ(relay->counter("authentications"), 1u);
  }
}

TEST_F(SessionTest, ServerNameIsVerifiedWhenConfigured) {
  auto relay = startRelay(0);
  EXPECT_NO_THROW(connect({node(1, relay->port(), "relay-a")}));
  auto error = connectError({node(1, relay->port(), "relay-b")});
  EXPECT_EQ(error.category(), asio::error::get_ssl_category()) << error.message();
}

TEST_F(SessionTest, ARelayOutsideTheBundlesAuthorityFailsTheTLSEvaluation) {
  Lab stranger(1);
  auto relay = std::make_unique<RelayProcess>(stranger.relayArguments(0));
  auto error = connectError({node(1, relay->port())});
  EXPECT_EQ(error.category(), asio::error::get_ssl_category()) << error.message();
  EXPECT_EQ(relay->counter("authentications"), 0u);
}

TEST_F(SessionTest, AddressesAreCheckedBeforeAnythingIsSent) {
  EXPECT_EQ(connectError({}), ProtocolError::invalidAddress);
  EXPECT_EQ(connectError({ExtensionNode{1, "n", "127.0.0.1", {}, 0}}),
            ProtocolError::invalidAddress);
  EXPECT_EQ(connectError({ExtensionNode{1, "n", "127.0.0.1:0x1bb", {}, 0}}),
            ProtocolError::invalidAddress);

  auto relay = startRelay();
  auto hostNamed = ExtensionNode{2, "n", "relay.example.test:443", {}, 0};
  EXPECT_EQ(connectError({node(1, relay->port()), hostNamed, node(3, 1)}),
            ProtocolError::invalidAddress);
  EXPECT_EQ(connectError({node(1, relay->port())}, std::string(65536, 'c')),
            ProtocolError::frameTooLarge);
  runFor(std::chrono::milliseconds(100));
  EXPECT_EQ(relay->counter("authentications"), 0u);
  EXPECT_EQ(relay->counter("active"), 0u);  // no connection outlives a failed connect
}

TEST_F(SessionTest, KillingTheRelayCallsTheStateHandlerOnce) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  relay->terminate();
  ASSERT_TRUE(runUntil([&] { return !dropped.empty(); }));
  runFor(std::chrono::milliseconds(100));
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0], session->id());
  EXPECT_FALSE(await(session->sendBatch(echoBatch(0, 1))));
  EXPECT_FALSE(await(session->isActive()));
}

TEST_F(SessionTest, AfterCloseNothingIsDeliveredAndNoStateHandlerRuns) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  collect(*session);
  EXPECT_TRUE(await(session->sendBatch(echoBatch(0, 32))));
  await(session->close());
  auto deliveredBeforeClose = received.size();
  runFor(std::chrono::milliseconds(200));
  EXPECT_EQ(received.size(), deliveredBeforeClose);
  EXPECT_FALSE(await(session->sendBatch(echoBatch(0, 1))));
  await(session->close());  // idempotent
  EXPECT_TRUE(dropped.empty());
}

TEST_F(SessionTest, ACorruptInboundPacketClosesTheSessionSilently) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  collect(*session);
  relay->command("corrupt");
  ASSERT_TRUE(runUntil([&]() { return !await(session->isActive()); }));
  EXPECT_TRUE(dropped.empty());
}

TEST_F(SessionTest, ARefusingRelayEndsConnectWithoutAnAnswer) {
  auto relay = startRelay();
  relay->command("refuse on");
  EXPECT_EQ(connectError({node(1, relay->port())}), ProtocolError::connectionClosed);
}
