// Node probes while every DNS lookup of the process hangs.

#include "tests/support/net/hanging_resolver.hpp"
#include "veskar/tunnel/node_probe.hpp"

#include "runtime/spawn.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace veskar {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

TEST(NodeProbeWithAHangingLookup, TheTimeoutBoundsTheLookupAndOtherProbesDoNotWait) {
  static testsupport::HangingResolver resolver;
  asio::io_context io;
  tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  auto port = std::to_string(listener.local_endpoint().port());

  std::optional<std::chrono::steady_clock::duration> hangingTook;
  std::optional<std::int64_t> hanging;
  std::optional<std::chrono::steady_clock::duration> literalTook;
  std::optional<std::int64_t> literal;
  auto start = std::chrono::steady_clock::now();
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    hanging = co_await NodeProbe::measure(io.get_executor(),
                                          testsupport::HangingResolver::hangingName, port, 1500ms);
    hangingTook = std::chrono::steady_clock::now() - start;
  });
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    literal = co_await NodeProbe::measure(io.get_executor(), "127.0.0.1", port, 5000ms);
    literalTook = std::chrono::steady_clock::now() - start;
  });
  io.run_for(10s);

  ASSERT_TRUE(hangingTook);
  EXPECT_FALSE(hanging);
  EXPECT_LT(*hangingTook, 4s);
  ASSERT_TRUE(literalTook);
  EXPECT_TRUE(literal);
  EXPECT_LT(*literalTook, 1s);
}

}  // namespace
}  // namespace veskar
