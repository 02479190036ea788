// First-hop timing over TCP on loopback.

#include "veskar/tunnel/node_probe.hpp"

#include "tests/support/async/await_task.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veskar {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

class NodeProbeOnLoopback : public ::testing::Test {
 protected:
  std::optional<std::int64_t> measure(std::string port,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return testsupport::settle(
               io, NodeProbe::measure(io.get_executor(), "127.0.0.1", std::move(port), timeout))
        .get();
  }
  std::string listeningPort() {
    listener.open(tcp::v4());
    listener.bind({asio::ip::make_address_v4("127.0.0.1"), 0});
    listener.listen();
    return std::to_string(listener.local_endpoint().port());
  }

  asio::io_context io;
  tcp::acceptor listener{io};
};

TEST_F(NodeProbeOnLoopback, AListeningHostAnswersWithinTheTimeout) {
  auto elapsed = measure(listeningPort());
  ASSERT_TRUE(elapsed);
  EXPECT_GE(*elapsed, 0);
  EXPECT_LT(*elapsed, 5000);
}

TEST_F(NodeProbeOnLoopback, RefusedAndUnparsablePortsGiveNothing) {
  // A port nobody listens on: refused at once.
  tcp::socket closed(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  auto freePort = std::to_string(closed.local_endpoint().port());
  closed.close();
  EXPECT_FALSE(measure(freePort));
  // Unparsable ports: no attempt, so even an hour's timeout returns at once.
  for (const char* port : {"", "65536", "-1", "80a", " 80"}) {
    EXPECT_FALSE(measure(port, std::chrono::hours(1))) << port;
  }
}

TEST_F(NodeProbeOnLoopback, AHostThatNeverCompletesTheHandshakeTimesOut) {
  // A listener whose accept queue is full drops further handshakes.
  listener.open(tcp::v4());
  listener.bind({asio::ip::make_address_v4("127.0.0.1"), 0});
  listener.listen(0);
  auto port = listener.local_endpoint().port();
  std::vector<int> fillers;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 4; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    fillers.push_back(fd);
  }
  EXPECT_FALSE(measure(std::to_string(port), std::chrono::milliseconds(300)));
  for (int fd : fillers) ::close(fd);
}

TEST(NodeProbeLatencyText, MillisecondsBelowASecondThenSeconds) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0 ms"},     {5, "5 ms"},     {999, "999 ms"},  {1000, "1.0 s"},
      {1049, "1.0 s"}, {1250, "1.2 s"}, {12345, "12.3 s"}};
  for (auto [ms, text] : cases) EXPECT_EQ(NodeProbe::latencyText(ms), text) << ms;
}

}  // namespace
}  // namespace veskar
