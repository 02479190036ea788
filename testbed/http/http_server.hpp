#pragma once

// A small HTTP/1.1 server, over TLS or plain TCP, for the testbed's servers.
// Bad input never hangs or crashes it: header and body sizes are bounded, every
// read and write has a timeout (a stalled connection is closed), and a request
// that cannot be parsed is answered 400 with {"code":"bad_request"} (or
// "body_too_large") and its connection closed.

#include "runtime/async.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace testbed {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

struct HttpReply {
  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
  // Close the connection without answering.
  bool drop = false;
};

// Called with each request and the address it came from.
using HttpHandler =
    std::function<runtime::Task<HttpReply>(HttpRequest, boost::asio::ip::tcp::endpoint)>;

struct HttpLimits {
  std::size_t headerLimit = 16 * 1024;
  std::size_t bodyLimit = 64 * 1024;
  // For the TLS handshake, each request (from its first byte to its last) and
  // an idle keep-alive connection.
  std::chrono::milliseconds readTimeout{10'000};
  std::chrono::milliseconds writeTimeout{10'000};
};

struct HttpServerState;

class HttpServer {
 public:
  // `tls` null: plain HTTP. The context must outlive the server.
  HttpServer(runtime::Executor executor, boost::asio::ip::tcp::endpoint endpoint,
             boost::asio::ssl::context* tls, HttpHandler handler, HttpLimits limits);
  ~HttpServer();

  std::uint16_t port() const;
  void start();
  // Stops accepting; open connections end at their next read.
  void stop();

 private:
  std::shared_ptr<HttpServerState> shared_;
};

}  // namespace testbed
