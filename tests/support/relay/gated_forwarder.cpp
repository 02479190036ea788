#include "tests/support/relay/gated_forwarder.hpp"

#include "runtime/async.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>

namespace testsupport {

namespace asio = boost::asio;
using asio::ip::tcp;
using runtime::Task;

namespace {}

struct GatedForwarder::State {
  State(asio::io_context& context, std::uint16_t port)
      : io(context),
        acceptor(context, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)),
        opened(context, asio::steady_timer::time_point::max()),
        targetPort(port) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  asio::steady_timer opened;  // cancelled once to release every held connection
  std::uint16_t targetPort;
  bool open = false;
  bool stopped = false;
  std::size_t accepted = 0;
};

namespace {

Task<void> pump(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
  std::array<std::uint8_t, 16384> buffer{};
  while (true) {
    auto [readError, n] = co_await from->async_read_some(asio::buffer(buffer), runtime::asTuple);
    if (readError) break;
    auto [writeError, written] =
        co_await asio::async_write(*to, asio::buffer(buffer, n), runtime::asTuple);
    if (writeError) break;
  }
  boost::system::error_code ignored;
  from->close(ignored);
  to->close(ignored);
}

Task<void> serve(std::shared_ptr<GatedForwarder::State> state,
                 std::shared_ptr<tcp::socket> client) {
  while (!state->open && !state->stopped) co_await state->opened.async_wait(runtime::asTuple);
  if (state->stopped) co_return;
  auto relay = std::make_shared<tcp::socket>(state->io);
  tcp::endpoint target(asio::ip::make_address_v4("127.0.0.1"), state->targetPort);
  auto [error] = co_await relay->async_connect(target, runtime::asTuple);
  if (error) co_return;
  runtime::spawn(state->io.get_executor(), pump(client, relay));
  runtime::spawn(state->io.get_executor(), pump(relay, client));
}

Task<void> acceptLoop(std::shared_ptr<GatedForwarder::State> state) {
  while (!state->stopped) {
    auto [error, socket] = co_await state->acceptor.async_accept(runtime::asTuple);
    if (error) co_return;
    ++state->accepted;
    auto client = std::make_shared<tcp::socket>(std::move(socket));
    runtime::spawn(state->io.get_executor(), serve(state, client));
  }
}

}  // namespace

GatedForwarder::GatedForwarder(asio::io_context& io, std::uint16_t targetPort)
    : state_(std::make_shared<State>(io, targetPort)) {
  runtime::spawn(io.get_executor(), acceptLoop(state_));
}

GatedForwarder::~GatedForwarder() {
  state_->stopped = true;
  boost::system::error_code ignored;
  state_->acceptor.close(ignored);
  state_->opened.cancel();
}

std::uint16_t GatedForwarder::port() const { return state_->acceptor.local_endpoint().port(); }

std::size_t GatedForwarder::accepted() const { return state_->accepted; }

void GatedForwarder::release() {
  state_->open = true;
  state_->opened.cancel();
}

}  // namespace testsupport
