#include "tests/support/control/test_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <sys/socket.h>

namespace testbed::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

void connectWithTimeout(tcp::socket& socket, unsigned short port) {
  socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  timeval timeout{5, 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

ssl::context clientContext(const std::filesystem::path& caFile) {
  ssl::context context(ssl::context::tls_client);
  context.load_verify_file(caFile.string());
  context.set_verify_mode(ssl::verify_peer);
  context.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
  return context;
}

template <class Stream>
Reply exchange(Stream& stream, const std::string& method, const std::string& path,
               const std::string& body, const std::string& token) {
  http::request<http::string_body> request{http::string_to_verb(method), path, 11};
  request.set(http::field::host, "127.0.0.1");
  if (!token.empty()) request.set(http::field::authorization, "Bearer " + token);
  if (method != "GET") {
    request.set(http::field::content_type, "application/json");
    request.body() = body;
    request.prepare_payload();
  }
  request.keep_alive(false);
  // The server may refuse before reading everything; its answer still counts.
  boost::system::error_code ignored;
  http::write(stream, request, ignored);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream, buffer, parser);
  auto response = parser.release();
  return Reply{response.result_int(), response.body(),
               std::string(response[http::field::content_type])};
}

}  // namespace

boost::json::value Reply::json() const { return boost::json::parse(body); }

std::string Reply::code() const {
  boost::system::error_code error;
  auto value = boost::json::parse(body, error);
  if (error || !value.is_object()) return "";
  const auto* code = value.get_object().if_contains("code");
  return code && code->is_string() ? std::string(code->get_string()) : "";
}

HttpsClient::HttpsClient(unsigned short port, std::filesystem::path caFile)
    : port_(port), caFile_(std::move(caFile)) {}

Reply HttpsClient::get(const std::string& path, const std::string& token) const {
  return request("GET", path, "", token);
}

Reply HttpsClient::post(const std::string& path, const std::string& body,
                        const std::string& token) const {
  return request("POST", path, body, token);
}

Reply HttpsClient::request(const std::string& method, const std::string& path,
                           const std::string& body, const std::string& token) const {
  asio::io_context io;
  auto context = clientContext(caFile_);
  ssl::stream<tcp::socket> stream(io, context);
  connectWithTimeout(stream.next_layer(), port_);
  stream.handshake(ssl::stream_base::client);
  return exchange(stream, method, path, body, token);
}

std::string HttpsClient::raw(const std::string& bytes, bool halfClose) const {
  asio::io_context io;
  auto context = clientContext(caFile_);
  ssl::stream<tcp::socket> stream(io, context);
  connectWithTimeout(stream.next_layer(), port_);
  stream.handshake(ssl::stream_base::client);
  // The server may answer and close before all is written; read what it said.
  boost::system::error_code error;
  asio::write(stream, asio::buffer(bytes), error);
  if (halfClose) stream.next_layer().shutdown(tcp::socket::shutdown_send, error);
  std::string answer;
  char chunk[4096];
  while (true) {
    auto n = stream.read_some(asio::buffer(chunk), error);
    answer.append(chunk, n);
    if (error) break;
  }
  return answer;
}

Reply AdminClient::get(const std::string& path) const {
  asio::io_context io;
  tcp::socket socket(io);
  connectWithTimeout(socket, port_);
  return exchange(socket, "GET", path, "", "");
}

Reply AdminClient::post(const std::string& path, const boost::json::value& body) const {
  asio::io_context io;
  tcp::socket socket(io);
  connectWithTimeout(socket, port_);
  return exchange(socket, "POST", path, boost::json::serialize(body), "");
}

std::uint64_t AdminClient::count(const std::string& path) const {
  auto counts = get("/admin/counts").json().at("counts").as_object();
  const auto* value = counts.if_contains(path);
  return value ? value->to_number<std::uint64_t>() : 0;
}

}  // namespace testbed::test
