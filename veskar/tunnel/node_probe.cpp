#include "veskar/tunnel/node_probe.hpp"

#include "platform/connector.hpp"
#include "runtime/text.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdio>
#include <exception>

namespace veskar {

namespace {

namespace asio = runtime::asio;

// One attempt through the connector, which bounds the lookup and the
// handshake by the deadline and keeps a hanging lookup from stalling other
// probes. No routing mark: the app's sockets are none of the daemon's.
runtime::Task<std::optional<std::int64_t>> attempt(runtime::Strand strand, std::string host,
                                                   std::uint16_t port,
                                                   std::chrono::milliseconds timeout) {
  auto start = std::chrono::steady_clock::now();
  std::optional<asio::ip::tcp::socket> socket;
  try {
    socket.emplace(co_await platform::connectTCP(strand, std::move(host), port,
                                                 platform::SocketOptions{}, timeout));
  } catch (const std::exception&) {
    co_return std::nullopt;
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  boost::system::error_code ignored;
  socket->close(ignored);
  co_return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

}  // namespace

runtime::Task<std::optional<std::int64_t>> NodeProbe::measure(const runtime::Executor& executor,
                                                              std::string host, std::string port,
                                                              std::chrono::milliseconds timeout) {
  auto number = runtime::parseDecimal(port, 65535);
  if (!number) co_return std::nullopt;
  auto strand = asio::make_strand(executor);
  co_return co_await runtime::runOn<std::optional<std::int64_t>>(
      strand, attempt(strand, std::move(host), static_cast<std::uint16_t>(*number), timeout));
}

std::string NodeProbe::latencyText(std::int64_t milliseconds) {
  if (milliseconds < 1000) return std::to_string(milliseconds) + " ms";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  return buffer;
}

}  // namespace veskar
