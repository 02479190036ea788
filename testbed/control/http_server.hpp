#pragma once

// A small HTTP/1.1 server, over TLS or plain TCP, for the testbed's endpoints.
// Bad input never hangs or crashes it: header and body sizes are bounded, every
// read and write has a timeout, and a request that cannot be parsed is answered
// 400 and its connection closed.

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

using HttpHandler = std::function<runtime::Task<HttpReply>(HttpRequest)>;

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
