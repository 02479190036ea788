#include "flowgate/errors/protocol_error.hpp"
#include "session_fixture.hpp"

#include "platform/connector.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/ssl/error.hpp>

#include <filesystem>

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
  EXPECT_FALSE(session->isClosed());
  EXPECT_FALSE(await(session->sendBatch({})));
  EXPECT_TRUE(dropped.empty());
}

// Packets read one after another lie in one block and are encrypted where
// they lie; others are gathered. A batch mixing both, runs longer than a TLS
// record among them, must still leave and come back in its order.
TEST_F(SessionTest, ABatchOfRunsAndLonePacketsKeepsItsOrder) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  collect(*session);
  auto run = [](std::uint16_t first, std::size_t count) {
    std::vector<std::uint8_t> block;
    std::vector<std::size_t> sizes;
    for (auto& packet : echoBatch(first, count, 1200)) {
      block.insert(block.end(), packet.begin(), packet.end());
      sizes.push_back(packet.size());
    }
    runtime::SharedBytes shared(std::move(block));
    Session::Packets slices;
    for (std::size_t at = 0, i = 0; i < sizes.size(); at += sizes[i++]) {
      slices.push_back(shared.slice(at, sizes[i]));
    }
    return slices;
  };
  Session::Packets batch;
  for (auto part : {run(0, 20), echoBatch(20, 3), run(23, 2), run(25, 30), echoBatch(55, 1)}) {
    batch.insert(batch.end(), part.begin(), part.end());
  }
  EXPECT_TRUE(await(session->sendBatch(batch)));
  ASSERT_TRUE(runUntil([&] { return received.size() == batch.size(); }));
  for (std::uint16_t i = 0; i < batch.size(); ++i)
    EXPECT_EQ(parse(received[i].span()).icmpSequence, i);
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
  EXPECT_TRUE(session->isClosed());
}

TEST_F(SessionTest, AfterCloseNothingIsDeliveredAndNoStateHandlerRuns) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  collect(*session);
  EXPECT_TRUE(await(session->sendBatch(echoBatch(0, 32))));
  await(session->close());
  EXPECT_TRUE(session->isClosed());
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

TEST_F(SessionTest, AnEscapeFromThePacketHandlerDropsTheSession) {
  auto relay = startRelay();
  auto session = connect({node(1, relay->port())});
  await(session->setPacketHandler([](Session::Packets) { throw std::runtime_error("handler"); }));
  EXPECT_TRUE(await(session->sendBatch(echoBatch(0, 1))));
  ASSERT_TRUE(runUntil([&] { return !dropped.empty(); }));
  EXPECT_EQ(dropped, std::vector{session->id()});
  EXPECT_FALSE(await(session->isActive()));
  EXPECT_TRUE(session->isClosed());
  EXPECT_FALSE(await(session->sendBatch(echoBatch(1, 1))));
  runFor(std::chrono::milliseconds(100));
  EXPECT_EQ(relay->counter("active"), 0u);
}

TEST_F(SessionTest, AServerNameThatCannotBeCheckedFailsWithARealCode) {
  auto relay = startRelay();
  for (const std::string& name :
       {std::string("127.0.0.1."), std::string(), std::string("relay-a\0x", 9)}) {
    auto error = connectError({node(1, relay->port(), name)});
    EXPECT_EQ(error, ProtocolError::invalidAddress) << error.message();
  }
}

namespace {

// The value of a socket option on this process's connection to `port`.
int clientOption(std::uint16_t port, int level, int name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(entry.path().filename().string());
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) continue;
    if (peer.sin_family != AF_INET || ntohs(peer.sin_port) != port) continue;
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) == 0) return value;
  }
  return -1;
}

}  // namespace

TEST_F(SessionTest, TheNodeConnectionKeepsAliveWithoutDelay) {
  auto relay = startRelay();
  auto session =
      connect({node(1, relay->port())}, {},
              {.startTimeout = std::chrono::seconds(12), .routingMark = platform::kRoutingMark});
  const std::pair<std::pair<int, int>, int> expected[] = {
      {{SOL_SOCKET, SO_KEEPALIVE}, 1},   {{IPPROTO_TCP, TCP_KEEPIDLE}, 15},
      {{IPPROTO_TCP, TCP_KEEPINTVL}, 5}, {{IPPROTO_TCP, TCP_KEEPCNT}, 3},
      {{IPPROTO_TCP, TCP_NODELAY}, 1},   {{SOL_SOCKET, SO_MARK}, int(platform::kRoutingMark)}};
  for (const auto& [option, value] : expected) {
    EXPECT_EQ(clientOption(relay->port(), option.first, option.second), value)
        << option.first << "/" << option.second;
  }
}

TEST_F(SessionTest, TheStartTimeoutBoundsATCPConnectThatHangs) {
  // A full accept queue drops further SYNs: the connect hangs in SYN-SENT.
  asio::ip::tcp::acceptor full(io, {asio::ip::make_address("127.0.0.1"), 0});
  full.listen(0);
  std::vector<asio::ip::tcp::socket> queued;
  for (int i = 0; i < 3; ++i) {
    auto& socket = queued.emplace_back(io, asio::ip::tcp::v4());
    socket.non_blocking(true);
    auto target = full.local_endpoint();
    ::connect(socket.native_handle(), target.data(), target.size());
  }
  EXPECT_EQ(connectError({node(1, full.local_endpoint().port())}, {},
                         {.startTimeout = std::chrono::milliseconds(300), .routingMark = {}}),
            ProtocolError::connectionTimedOut);
}
