#include "test_server.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>

namespace testserver {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using asio::use_awaitable;

struct ServerState {
  explicit ServerState(asio::io_context& io)
      : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        tls(ssl::context::tls_server) {}

  tcp::acceptor acceptor;
  ssl::context tls;
  Handler handler;
  std::vector<Request> requests;
  unsigned interimStatus = 0;
};

namespace {

asio::awaitable<void> serve(std::shared_ptr<ServerState> state, tcp::socket socket) {
  boost::system::error_code gone;
  tcp::endpoint peer = socket.remote_endpoint(gone);
  if (gone) co_return;  // the client gave up before we got to it
  ssl::stream<tcp::socket> stream(std::move(socket), state->tls);
  auto [handshakeError] =
      co_await stream.async_handshake(ssl::stream_base::server, runtime::asTuple);
  if (handshakeError) co_return;
  boost::beast::flat_buffer buffer;
  Request request;
  auto [readError, read] = co_await http::async_read(stream, buffer, request, runtime::asTuple);
  if (readError) co_return;
  state->requests.push_back(request);
  std::optional<Response> response = state->handler(request, peer);
  if (!response) {
    // Hold the connection until the client gives up.
    Request next;
    co_await http::async_read(stream, buffer, next, runtime::asTuple);
    co_return;
  }
  if (state->interimStatus != 0) {
    Response interim(static_cast<http::status>(state->interimStatus), 11);
    interim.set(http::field::link, "</style.css>; rel=preload");
    co_await http::async_write(stream, interim, runtime::asTuple);
  }
  co_await http::async_write(stream, *response, runtime::asTuple);
}

asio::awaitable<void> acceptLoop(std::shared_ptr<ServerState> state) {
  for (;;) {
    auto [error, socket] = co_await state->acceptor.async_accept(runtime::asTuple);
    if (error) co_return;
    runtime::spawn(state->acceptor.get_executor(), serve(state, std::move(socket)));
  }
}

}  // namespace

Response reply(unsigned status, std::string body) {
  Response response(static_cast<http::status>(status), 11);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

Server::Server(asio::io_context& io, const testpki::Credential& credential, Handler handler)
    : state_(std::make_shared<ServerState>(io)) {
  state_->tls.use_certificate_chain(
      asio::buffer(credential.certificatePem.data(), credential.certificatePem.size()));
  state_->tls.use_private_key(asio::buffer(credential.keyPem.data(), credential.keyPem.size()),
                              ssl::context::pem);
  state_->handler = std::move(handler);
  runtime::spawn(io.get_executor(), acceptLoop(state_));
}

Server::Server(asio::io_context& io) : state_(std::make_shared<ServerState>(io)) {}

Server::~Server() {
  boost::system::error_code ignored;
  state_->acceptor.close(ignored);
}

unsigned short Server::port() const { return state_->acceptor.local_endpoint().port(); }

void Server::sendInterimFirst(unsigned status) { state_->interimStatus = status; }

std::vector<Request> Server::requests() const { return state_->requests; }

}  // namespace testserver
