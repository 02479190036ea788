#pragma once

// The HTTPS client behind the services' "ephemeral" sessions: no cookies, no
// cache, no stored credentials, one connection per request. Servers are verified
// against the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR override it)
// and by host name or IP address; there is no way to turn verification off.

#include "platform/connector.hpp"
#include "platform/http_client.hpp"
#include "runtime/async.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct HttpsClientOptions {
  // Set on every socket before it connects (SO_MARK, needs CAP_NET_ADMIN), so the
  // daemon's own requests skip the tunnel's routing rule.
  std::optional<std::uint32_t> routingMark;
  // A response whose body is larger fails (boost::beast::http::error::body_limit)
  // rather than exhausting memory.
  std::size_t maxBodySize = 64 * 1024 * 1024;
  // Names whose addresses are known beforehand, connected to without a
  // lookup: while the tunnel runs, the system's resolver is the tunnel's own
  // DNS server, which the daemon cannot ask for its own connections.
  std::map<std::string, std::vector<std::string>> knownAddresses = {};
  // Any other name is looked up here when set (see connector.hpp).
  NameLookup nameLookup = {};
};

// Thread-safe: requests may run concurrently, each on its own strand of the I/O
// executor, and resume the caller on the caller's executor. Requests must finish
// before the client is destroyed.
//
// Transport failures throw runtime::SystemError carrying the platform's code:
// resolution and socket errors (Asio), TLS and verification failures (the
// asio.ssl category, "certificate verify failed"), malformed or oversized
// responses (Beast), asio::error::timed_out when `timeout` passes, and
// HttpError for requests refused before sending.
class HttpsClient final : public HttpClient {
 public:
  explicit HttpsClient(runtime::Executor ioExecutor, HttpsClientOptions options = {});
  ~HttpsClient() override;

  runtime::Task<HttpResponse> send(HttpRequest request) override;

 private:
  struct Shared;
  runtime::Executor executor_;
  std::shared_ptr<const Shared> shared_;
};

}  // namespace platform
