#include "platform/connector.hpp"
#include "tests/support/async/run_task.hpp"
#include "tests/support/net/hanging_resolver.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;
using platform::connectTCP;
using platform::SocketOptions;
using testsupport::errorOf;
using testsupport::runTask;

namespace {

int optionOf(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  EXPECT_EQ(::getsockopt(fd, level, name, &value, &size), 0);
  return value;
}

class ConnectorTest : public ::testing::Test {
 protected:
  runtime::Task<tcp::socket> connect(std::string host, std::uint16_t target,
                                     std::chrono::milliseconds timeout = 5s,
                                     SocketOptions options = {}) {
    return connectTCP(io.get_executor(), std::move(host), target, options, timeout);
  }

  asio::io_context io;
  tcp::acceptor listener{io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
  std::uint16_t port = listener.local_endpoint().port();
};

}  // namespace

TEST_F(ConnectorTest, AppliesTheAskedOptionsBeforeConnecting) {
  auto marked = runTask(
      io, connect("127.0.0.1", port, 5s,
                  {.routingMark = platform::kRoutingMark, .keepAlive = true, .noDelay = true}));
  int fd = marked.native_handle();
  EXPECT_EQ(optionOf(fd, SOL_SOCKET, SO_MARK), static_cast<int>(platform::kRoutingMark));
  EXPECT_EQ(optionOf(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(optionOf(fd, IPPROTO_TCP, TCP_KEEPIDLE), 15);
  EXPECT_EQ(optionOf(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(optionOf(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_EQ(optionOf(fd, IPPROTO_TCP, TCP_NODELAY), 1);

  auto plain = runTask(io, connect("127.0.0.1", port));
  EXPECT_EQ(optionOf(plain.native_handle(), SOL_SOCKET, SO_MARK), 0);
  EXPECT_EQ(optionOf(plain.native_handle(), SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(optionOf(plain.native_handle(), IPPROTO_TCP, TCP_NODELAY), 0);
}

TEST_F(ConnectorTest, FailuresCarryThePlatformsCode) {
  listener.close();
  EXPECT_EQ(errorOf(io, connect("127.0.0.1", port)), asio::error::connection_refused);
  // Literals of both families connect. (No name here: a lookup outside the
  // hosts file would ask the machine's resolver.)
  tcp::acceptor v6(io, tcp::endpoint(asio::ip::make_address("::1"), 0));
  EXPECT_FALSE(errorOf(io, connect("::1", v6.local_endpoint().port())));
}

TEST_F(ConnectorTest, AConnectThatNeverCompletesEndsAtTheDeadline) {
  // A full accept queue drops further SYNs: the connect hangs in SYN-SENT.
  tcp::acceptor full(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  full.listen(0);
  std::vector<std::unique_ptr<tcp::socket>> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(std::make_unique<tcp::socket>(io));
    queued.back()->open(tcp::v4());
    queued.back()->non_blocking(true);
    auto target = full.local_endpoint();
    ::connect(queued.back()->native_handle(), target.data(), target.size());
  }
  EXPECT_EQ(errorOf(io, connect("127.0.0.1", full.local_endpoint().port(), 300ms)),
            asio::error::timed_out);
}

class HangingLookupTest : public ConnectorTest {
 protected:
  // Once per process; a failure here fails the test rather than skipping it.
  void SetUp() override {
    static testsupport::HangingResolver resolver;
    // The fixture's listener was opened before the move into the new network.
    listener = tcp::acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    port = listener.local_endpoint().port();
  }
};

TEST_F(HangingLookupTest, TheDeadlineEndsAHangingLookup) {
  EXPECT_EQ(errorOf(io, connect(testsupport::HangingResolver::hangingName, port, 300ms)),
            asio::error::timed_out);
}

TEST_F(HangingLookupTest, AHangingLookupDelaysNoOtherConnect) {
  int hanging = 0;
  runtime::ErrorCode hangingError;
  for (int i = 0; i < 2; ++i) {
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        co_await connect(testsupport::HangingResolver::hangingName, port, 20s);
      } catch (const runtime::SystemError& e) {
        hangingError = e.code();
      }
      ++hanging;
    });
  }
  // Give both lookups time to start.
  testsupport::runFor(io, 100ms);
  // A literal and a name from the hosts file connect while both lookups hang.
  EXPECT_FALSE(errorOf(io, connect("127.0.0.1", port)));
  EXPECT_FALSE(errorOf(io, connect("localhost", port)));
  EXPECT_EQ(hanging, 0) << hangingError.message();
}
