#pragma once

// A real HTTPS server on 127.0.0.1 for client tests, on the test's io_context.

#include "test_pki.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace testserver {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
// Returns the answer, or nothing to keep the connection open without answering.
using Handler =
    std::function<std::optional<Response>(const Request&, const boost::asio::ip::tcp::endpoint&)>;

Response reply(unsigned status, std::string body);

struct ServerState;

class Server {
 public:
  // Serves with `credential`, answering each request with `handler`.
  Server(boost::asio::io_context& io, const testpki::Credential& credential, Handler handler);
  // Listens but never accepts: a client's TLS handshake never gets an answer.
  explicit Server(boost::asio::io_context& io);
  ~Server();

  unsigned short port() const;
  // Every answer is preceded by an interim response with this 1xx status.
  void sendInterimFirst(unsigned status);
  // Requests read so far, complete with headers and body.
  std::vector<Request> requests() const;

 private:
  std::shared_ptr<ServerState> state_;
};

}  // namespace testserver
