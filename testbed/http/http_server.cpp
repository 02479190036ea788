#include "testbed/http/http_server.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <iostream>
#include <optional>

namespace testbed {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct HttpServerState {
  tcp::acceptor acceptor;
  asio::ssl::context* tls;
  HttpHandler handler;
  HttpLimits limits;
  bool stopped = false;
};

namespace {

std::string errorBody(const std::string& code) {
  return boost::json::serialize(boost::json::object{{"code", code}});
}

beast::tcp_stream& lowest(beast::tcp_stream& stream) { return stream; }
beast::tcp_stream& lowest(beast::ssl_stream<beast::tcp_stream>& stream) {
  return stream.next_layer();
}

http::response<http::string_body> makeResponse(unsigned status, std::string body,
                                               const std::string& contentType, unsigned version,
                                               bool keepAlive) {
  http::response<http::string_body> response{static_cast<http::status>(status), version};
  response.set(http::field::server, "testbed");
  response.set(http::field::content_type, contentType);
  response.keep_alive(keepAlive);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

template <class Stream>
runtime::Task<bool> send(Stream& stream, std::shared_ptr<HttpServerState> shared,
                         http::response<http::string_body> response) {
  lowest(stream).expires_after(shared->limits.writeTimeout);
  auto [error, written] = co_await http::async_write(stream, response, runtime::asTuple);
  co_return !error;
}

// Reads and drops what the peer is still sending, briefly, so that closing with
// unread bytes does not reset the connection before the peer read our answer.
template <class Stream>
runtime::Task<void> drain(Stream& stream, std::shared_ptr<HttpServerState> shared) {
  constexpr std::size_t limit = 1024 * 1024;
  lowest(stream).expires_after(std::min<std::chrono::milliseconds>(
      shared->limits.readTimeout, std::chrono::milliseconds(1000)));
  char scratch[16 * 1024];
  std::size_t total = 0;
  while (total < limit) {
    auto [error, n] = co_await stream.async_read_some(asio::buffer(scratch), runtime::asTuple);
    if (error) break;
    total += n;
  }
}

// Serves requests until the peer closes, an error, or a reply that closes.
template <class Stream>
runtime::Task<void> serveRequests(Stream& stream, std::shared_ptr<HttpServerState> shared,
                                  tcp::endpoint peer) {
  beast::flat_buffer buffer;
  while (!shared->stopped) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(shared->limits.headerLimit));
    parser.body_limit(shared->limits.bodyLimit);
    lowest(stream).expires_after(shared->limits.readTimeout);
    auto [error, read] = co_await http::async_read(stream, buffer, parser, runtime::asTuple);
    if (error) {
      // The peer closed, or stalled past the timeout (which closed the socket):
      // nothing to say, or no way left to say it.
      if (error == http::error::end_of_stream || error == beast::error::timeout ||
          error == asio::error::connection_reset || error == asio::error::eof) {
        co_return;
      }
      std::string code = error == http::error::body_limit ? "body_too_large" : "bad_request";
      auto refusal = makeResponse(400, errorBody(code), "application/json", 11, false);
      if (co_await send(stream, shared, std::move(refusal))) co_await drain(stream, shared);
      co_return;
    }
    auto request = parser.release();
    bool keepAlive = request.keep_alive();
    unsigned version = request.version();
    lowest(stream).expires_never();
    auto handling = shared->handler(std::move(request), peer);
    auto reply = co_await std::move(handling);
    if (reply.drop) co_return;
    auto response =
        makeResponse(reply.status, std::move(reply.body), reply.contentType, version, keepAlive);
    if (!co_await send(stream, shared, std::move(response)) || !keepAlive) co_return;
  }
}

runtime::Task<void> serve(tcp::socket socket, std::shared_ptr<HttpServerState> shared) {
  beast::error_code peerError;
  auto peer = socket.remote_endpoint(peerError);
  if (peerError) co_return;
  beast::tcp_stream tcpStream(std::move(socket));
  if (!shared->tls) {
    co_await serveRequests(tcpStream, shared, peer);
    beast::error_code ignored;
    tcpStream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    co_return;
  }
  beast::ssl_stream<beast::tcp_stream> stream(std::move(tcpStream), *shared->tls);
  stream.next_layer().expires_after(shared->limits.readTimeout);
  auto [error] = co_await stream.async_handshake(asio::ssl::stream_base::server, runtime::asTuple);
  if (error) co_return;
  co_await serveRequests(stream, shared, peer);
  stream.next_layer().expires_after(shared->limits.writeTimeout);
  co_await stream.async_shutdown(runtime::asTuple);
}

// A test server keeps serving other connections, but says what went wrong.
void reportConnectionFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::cerr << "http server: a connection failed: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "http server: a connection failed" << std::endl;
  }
}

runtime::Task<void> acceptLoop(std::shared_ptr<HttpServerState> shared) {
  while (!shared->stopped) {
    auto [error, socket] = co_await shared->acceptor.async_accept(runtime::asTuple);
    if (shared->stopped) co_return;
    if (error) {
      // Out of descriptors, say: wait a moment rather than spin.
      asio::steady_timer pause(shared->acceptor.get_executor(), std::chrono::milliseconds(50));
      co_await pause.async_wait(runtime::asTuple);
      continue;
    }
    // Whatever goes wrong on one connection ends that connection only.
    runtime::spawn(shared->acceptor.get_executor(), serve(std::move(socket), shared),
                   reportConnectionFailure);
  }
}

}  // namespace

HttpServer::HttpServer(runtime::Executor executor, tcp::endpoint endpoint, asio::ssl::context* tls,
                       HttpHandler handler, HttpLimits limits)
    : shared_(std::make_shared<HttpServerState>(HttpServerState{
          tcp::acceptor(executor, endpoint, true), tls, std::move(handler), limits})) {}

HttpServer::~HttpServer() { stop(); }

std::uint16_t HttpServer::port() const { return shared_->acceptor.local_endpoint().port(); }

void HttpServer::start() { runtime::spawn(shared_->acceptor.get_executor(), acceptLoop(shared_)); }

void HttpServer::stop() {
  shared_->stopped = true;
  beast::error_code ignored;
  shared_->acceptor.close(ignored);
}

}  // namespace testbed
