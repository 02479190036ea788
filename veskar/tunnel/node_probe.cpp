#include "veskar/tunnel/node_probe.hpp"

#include "runtime/text.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdio>
#include <memory>

namespace veskar {

namespace {

namespace asio = runtime::asio;
using asio::ip::tcp;

// One attempt. The timer and the attempt complete on the same strand, so
// whichever comes first decides and the other only finds the decision.
struct Attempt {
  explicit Attempt(const runtime::Strand& strand)
      : resolver(strand), socket(strand), timer(strand) {}
  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer timer;
  bool timedOut = false;
};

runtime::Task<std::optional<std::int64_t>> attempt(runtime::Strand strand, std::string host,
                                                   std::uint16_t port,
                                                   std::int64_t timeoutMilliseconds) {
  auto state = std::make_shared<Attempt>(strand);
  auto start = std::chrono::steady_clock::now();
  state->timer.expires_after(std::chrono::milliseconds(timeoutMilliseconds));
  state->timer.async_wait([state](const boost::system::error_code& error) {
    if (error) return;
    state->timedOut = true;
    state->resolver.cancel();
    boost::system::error_code ignored;
    state->socket.close(ignored);
  });
  std::string service = std::to_string(port);
  auto [resolveError, endpoints] = co_await state->resolver.async_resolve(
      host, service, tcp::resolver::numeric_service, runtime::asTuple);
  if (resolveError || state->timedOut) {
    state->timer.cancel();
    co_return std::nullopt;
  }
  auto [connectError, endpoint] =
      co_await asio::async_connect(state->socket, endpoints, runtime::asTuple);
  auto elapsed = std::chrono::steady_clock::now() - start;
  if (connectError || state->timedOut) {
    state->timer.cancel();
    co_return std::nullopt;
  }
  state->timer.cancel();
  boost::system::error_code ignored;
  state->socket.close(ignored);
  co_return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

}  // namespace

runtime::Task<std::optional<std::int64_t>> NodeProbe::measure(const runtime::Executor& executor,
                                                              std::string host, std::string port,
                                                              std::int64_t timeoutMilliseconds) {
  auto number = runtime::parseDecimal(port, 65535);
  if (!number) co_return std::nullopt;
  auto strand = asio::make_strand(executor);
  co_return co_await runtime::runOn<std::optional<std::int64_t>>(
      strand,
      attempt(strand, std::move(host), static_cast<std::uint16_t>(*number), timeoutMilliseconds));
}

std::string NodeProbe::latencyText(std::int64_t milliseconds) {
  if (milliseconds < 1000) return std::to_string(milliseconds) + " ms";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  return buffer;
}

}  // namespace veskar
