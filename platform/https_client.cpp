#include "platform/https_client.hpp"

#include "platform/connector.hpp"
#include "platform/http_error.hpp"
#include "runtime/error.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
namespace urls = boost::urls;
using tcp = asio::ip::tcp;
using runtime::ErrorCode;
using runtime::SystemError;

// Everything one request's asynchronous work touches. The watchdog and the
// cancellation callback may fire after the request finished, so they share it.
// Only the request's strand uses it.
struct Exchange {
  Exchange(const runtime::Executor& executor, ssl::context& tls)
      : stream(executor, tls), watchdog(executor) {}

  void abort() {
    ErrorCode ignored;
    stream.lowest_layer().close(ignored);
  }

  // Throws for a step that failed; a step ended by abort() reports why it was aborted.
  void check(ErrorCode error) const {
    if (cancelled) throw runtime::CancellationError();
    if (timedOut) throw SystemError(asio::error::timed_out);
    if (error) throw SystemError(error);
  }

  ssl::stream<tcp::socket> stream;
  asio::steady_timer watchdog;
  bool timedOut = false;
  bool cancelled = false;
};

// Stops the watchdog and closes the connection on every way out of a request.
struct ExchangeGuard {
  ~ExchangeGuard() {
    exchange->watchdog.cancel();
    ErrorCode ignored;
    exchange->stream.lowest_layer().close(ignored);
  }
  std::shared_ptr<Exchange> exchange;
};

struct Target {
  std::string host;  // decoded name or address text, as verified and resolved
  bool isName = false;
  std::uint16_t port = 443;
};

Target targetOf(const urls::url& url) {
  if (url.scheme_id() != urls::scheme::https || !url.has_authority()) {
    runtime::fail(HttpError::unsupportedURL);
  }
  Target target;
  switch (url.host_type()) {
    case urls::host_type::name:
      target.host = url.host();
      target.isName = true;
      break;
    case urls::host_type::ipv4: target.host = url.host_ipv4_address().to_string(); break;
    case urls::host_type::ipv6: target.host = url.host_ipv6_address().to_string(); break;
    default: runtime::fail(HttpError::unsupportedURL);
  }
  // A decoded name goes to C APIs and into the TLS name check: a NUL or a
  // control character there would check or resolve some other name.
  if (target.host.empty()) runtime::fail(HttpError::unsupportedURL);
  for (unsigned char c : target.host) {
    if (c <= 0x20 || c == 0x7f) runtime::fail(HttpError::unsupportedURL);
  }
  if (url.has_port() && !url.port().empty()) {
    if (url.port_number() == 0 && url.port() != "0") runtime::fail(HttpError::unsupportedURL);
    target.port = url.port_number();
  }
  return target;
}

bool isToken(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    bool ok =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

bool isFieldValue(std::string_view value) {
  for (unsigned char c : value) {
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

http::request<http::string_body> messageFor(HttpRequest& request) {
  http::request<http::string_body> message;
  message.method(request.method == HttpMethod::post ? http::verb::post : http::verb::get);
  std::string target(request.url.encoded_path());
  if (target.empty()) target = "/";
  if (request.url.has_query()) {
    target += '?';
    target += request.url.encoded_query();
  }
  message.target(target);
  message.version(11);
  message.set(http::field::host, request.url.encoded_host_and_port());
  for (const auto& [name, value] : request.headers) {
    if (!isToken(name) || !isFieldValue(value)) runtime::fail(HttpError::invalidHeader);
    message.set(name, value);
  }
  // One connection per request: no state survives between requests.
  message.set(http::field::connection, "close");
  message.body() = std::move(request.body);
  message.prepare_payload();
  return message;
}

void configureVerification(SSL* ssl, const Target& target) {
  bool configured = true;
  if (target.isName) {
    configured = SSL_set_tlsext_host_name(ssl, target.host.c_str()) == 1 &&
                 SSL_set1_host(ssl, target.host.c_str()) == 1;
  } else {
    configured = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), target.host.c_str()) == 1;
  }
  if (!configured) runtime::fail(HttpError::unsupportedURL);
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
}

runtime::Task<HttpResponse> exchange(std::shared_ptr<ssl::context> tls, HttpsClientOptions options,
                                     HttpRequest request) {
  request.cancel.throwIfCancelled();
  Target target = targetOf(request.url);
  auto message = messageFor(request);

  runtime::Executor executor = co_await asio::this_coro::executor;
  auto state = std::make_shared<Exchange>(executor, *tls);
  ExchangeGuard guard{state};
  configureVerification(state->stream.native_handle(), target);

  state->watchdog.expires_after(request.timeout);
  state->watchdog.async_wait([state](ErrorCode error) {
    if (error) return;
    state->timedOut = true;
    state->abort();
  });
  auto registration = request.cancel.onCancel([state, executor] {
    asio::post(executor, [state] {
      state->cancelled = true;
      state->abort();
    });
  });

  // The connection is made before the watchdog can close it; the connector
  // keeps the same deadline and hears the same cancellation. A name whose
  // addresses are known is dialled at them, tried in order, without a lookup.
  SocketOptions socketOptions{options.routingMark, false, false, options.nameLookup};
  std::vector<std::string> hosts{target.host};
  if (auto known = options.knownAddresses.find(target.host);
      target.isName && known != options.knownAddresses.end() && !known->second.empty()) {
    hosts = known->second;
  }
  auto deadline = std::chrono::steady_clock::now() + request.timeout;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    auto remaining = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        deadline - std::chrono::steady_clock::now());
    try {
      state->stream.next_layer() = co_await connectTCP(executor, hosts[i], target.port,
                                                       socketOptions, remaining, request.cancel);
      break;
    } catch (const runtime::SystemError&) {
      if (i + 1 == hosts.size() || state->timedOut || state->cancelled) throw;
    }
  }
  state->check({});

  auto [handshakeError] =
      co_await state->stream.async_handshake(ssl::stream_base::client, runtime::asTuple);
  state->check(handshakeError);

  auto [writeError, written] = co_await http::async_write(state->stream, message, runtime::asTuple);
  state->check(writeError);

  // Interim 1xx answers (103 Early Hints and the like) precede the final one.
  beast::flat_buffer buffer;
  std::optional<http::response_parser<http::string_body>> parser;
  do {
    parser.emplace();
    parser->body_limit(std::min(options.maxBodySize, request.maxBodySize.value_or(SIZE_MAX)));
    auto [readError, read] =
        co_await http::async_read(state->stream, buffer, *parser, runtime::asTuple);
    state->check(readError);
  } while (parser->get().result_int() / 100 == 1);

  auto reply = parser->release();
  HttpResponse response;
  response.status = reply.result_int();
  for (const auto& field : reply) {
    response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  response.body = std::move(reply.body());
  co_return response;
}

}  // namespace

struct HttpsClient::Shared {
  std::shared_ptr<ssl::context> tls;
  HttpsClientOptions options;
};

HttpsClient::HttpsClient(runtime::Executor ioExecutor, HttpsClientOptions options)
    : executor_(std::move(ioExecutor)) {
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_client);
  tls->set_default_verify_paths();
  tls->set_verify_mode(ssl::verify_peer);
  SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
  shared_ = std::make_shared<const Shared>(Shared{std::move(tls), options});
}

HttpsClient::~HttpsClient() = default;

runtime::Task<HttpResponse> HttpsClient::send(HttpRequest request) {
  runtime::Executor strand = asio::make_strand(executor_);
  return runtime::runOn<HttpResponse>(strand,
                                      exchange(shared_->tls, shared_->options, std::move(request)));
}

}  // namespace platform
