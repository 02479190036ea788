#pragma once

// The HTTP exchange the services depend on: one request, one final response,
// returned as the server sent it. Statuses are never errors here (a 3xx is not
// followed, a 404 or 500 is a response like any other); only the transport
// fails. Services hold an HttpClient so tests can substitute a fake.

#include "runtime/async.hpp"
#include "runtime/cancel.hpp"

#include <boost/url/url.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

enum class HttpMethod { get, post };

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The services' request timeout; requests that need another pass their own.
inline constexpr std::chrono::milliseconds defaultRequestTimeout = std::chrono::seconds(60);

struct HttpRequest {
  HttpMethod method = HttpMethod::get;
  boost::urls::url url;
  // Sent in order; a later header of the same name replaces an earlier one.
  HttpHeaders headers;
  std::string body;
  // Covers the whole exchange: name resolution, connection, TLS, request and response.
  std::chrono::milliseconds timeout = defaultRequestTimeout;
  runtime::CancelToken cancel;
  // A response body larger than this fails as the client's own limit does, before
  // more than this is held in memory. Lowers the client's limit, never raises it.
  std::optional<std::size_t> maxBodySize;
};

struct HttpResponse {
  unsigned status = 0;
  HttpHeaders headers;
  // The body's bytes exactly as received (binary bodies included).
  std::string body;

  // The first header called `name`, compared without regard to case.
  std::optional<std::string_view> header(std::string_view name) const;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Transport failures throw runtime::SystemError with the platform's own code;
  // a cancelled request throws runtime::CancellationError.
  virtual runtime::Task<HttpResponse> send(HttpRequest request) = 0;

  runtime::Task<HttpResponse> get(boost::urls::url url, HttpHeaders headers = {});
  runtime::Task<HttpResponse> post(boost::urls::url url, HttpHeaders headers, std::string body);
};

}  // namespace platform
