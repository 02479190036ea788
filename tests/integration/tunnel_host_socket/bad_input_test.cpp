// What a raw client may send that the server must survive: broken frames,
// unreadable requests, and never reading what it is sent.

#include "socket_fixture.hpp"

#include <boost/json/parse.hpp>

namespace tunnelhostsocket {
namespace {

using platform::TunnelHostError;
using platform::TunnelStatus;

std::string header(std::uint32_t length) {
  return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
          static_cast<char>(length >> 8), static_cast<char>(length)};
}

TEST_F(SocketTest, BadInputGetsItsErrorAndOthersAreStillServed) {
  struct Case {
    const char* name;
    std::string bytes;
    TunnelHostError error;
    std::optional<std::uint64_t> id;
    bool closes;
  };
  const Case cases[] = {
      {"not JSON", protocol::frame("{\"id\":1,"), TunnelHostError::invalidRequest, {}, false},
      {"JSON array", protocol::frame("[{\"id\":1}]"), TunnelHostError::invalidRequest, {}, false},
      {"negative id",
       protocol::frame(R"({"id":-1,"op":"loadAll"})"),
       TunnelHostError::invalidRequest,
       {},
       false},
      {"missing op", protocol::frame(R"({"id":7})"), TunnelHostError::invalidRequest, 7, false},
      {"unknown op", protocol::frame(R"({"id":8,"op":"reboot"})"),
       TunnelHostError::unknownOperation, 8, false},
      {"bad base64",
       protocol::frame(
           R"({"id":9,"op":"message","identifier":"home","message":"**","wantsReply":true})"),
       TunnelHostError::invalidRequest, 9, false},
      {"length 0", header(0) + "{}", TunnelHostError::messageTooLarge, {}, true},
      {"length over 1 MiB",
       header(protocol::maxRequestLength + 1) + std::string(1024, ' '),
       TunnelHostError::messageTooLarge,
       {},
       true},
  };
  auto other = client();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto raw = rawClient();
    writeRaw(raw, c.bytes);
    auto reply = std::get<protocol::Reply>(protocol::decodeIncoming(run(readFrame(raw))));
    EXPECT_EQ(reply.id, c.id);
    ASSERT_TRUE(std::holds_alternative<platform::TunnelErrorInfo>(reply.outcome));
    EXPECT_EQ(std::get<platform::TunnelErrorInfo>(reply.outcome),
              protocol::errorInfo(runtime::makeErrorCode(c.error)));
    if (c.closes) {
      EXPECT_TRUE(run(closedByServer(raw)));
    } else {
      writeRaw(raw, protocol::frame(R"({"id":2,"op":"connection","identifier":"home"})"));
      auto next = std::get<protocol::Reply>(protocol::decodeIncoming(run(readFrame(raw))));
      EXPECT_EQ(next.id, 2u);
      EXPECT_TRUE(std::holds_alternative<boost::json::value>(next.outcome));
    }
    EXPECT_EQ(run(other->loadFromPreferences("home")), host->configurations.front());
  }
}

TEST_F(SocketTest, ClientThatNeverReadsIsDroppedWithoutStallingOthers) {
  server->stop();
  startServer(64 * 1024);
  auto raw = rawClient();
  writeRaw(raw, protocol::frame(R"({"id":1,"op":"subscribe"})"));
  run(readFrame(raw));  // and no more reading

  std::vector<platform::TunnelStatusChange> seen;
  auto reader = client();
  reader->addStatusObserver([&](const auto& change) { seen.push_back(change); });
  run(reader->loadAllFromPreferences());
  testsupport::runFor(io, std::chrono::milliseconds(50));

  // In bursts the bound holds, far more in all than the socket buffers and the bound.
  constexpr std::size_t bursts = 200, burst = 100;
  auto statusAt = [](std::size_t i) {
    return i % 2 ? TunnelStatus::connected : TunnelStatus::reasserting;
  };
  for (std::size_t sent = 0; sent < bursts * burst;) {
    for (std::size_t i = 0; i < burst; ++i, ++sent) host->setStatus("home", statusAt(sent));
    ASSERT_TRUE(testsupport::runUntil(io, [&] { return seen.size() == sent; })) << sent;
  }
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].status, statusAt(i)) << i;
  EXPECT_TRUE(run(closedByServer(raw)));
}

}  // namespace
}  // namespace tunnelhostsocket
