#pragma once

// The application's only client of the control server: JSON requests with the
// user's bearer token, statuses outside 200 to 299 as APIError::server, replies
// decoded from snake_case keys. No retries here (the one retry after a 401 is
// the login manager's). Holds no mutable state: requests may overlap.

#include "flowgate/control/authorization_messages.hpp"
#include "platform/http_client.hpp"
#include "runtime/async.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/control/control_records.hpp"

#include <boost/url/url.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veskar {

// The control server of this build, "https://" and a host name, created once.
const boost::urls::url& defaultBaseURL();

// An HTTPS session without cookies, cache or stored credentials.
std::shared_ptr<platform::HttpClient> makeEphemeralSession(const runtime::Executor& ioExecutor);

// The computer's host name, or "Mac" when it has none.
std::string deviceName();

class ControlClient {
 public:
  static constexpr std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);

  explicit ControlClient(std::shared_ptr<platform::HttpClient> session,
                         boost::urls::url baseURL = defaultBaseURL());

  const boost::urls::url& baseURL() const { return baseURL_; }

  runtime::Task<LoginResponse> login(std::string phone, std::string password) const;
  runtime::Task<AuthorizeResponse> authorize(std::string access, std::string deviceKey,
                                             std::vector<std::string> localRoutes) const;
  runtime::Task<AccountResponse> account(std::string access) const;

  // A POST of `body` (keys sent in snake_case) to `path`, with `token` as bearer
  // token when given; the 2xx reply decoded as Response.
  template <class Response, class Body>
  runtime::Task<Response> request(std::string path, std::optional<std::string> token,
                                  Body body) const {
    std::string encoded = flowgate::encodeRequestBody(body);
    std::string reply = co_await send(platform::HttpMethod::post, std::move(path), std::move(token),
                                      std::move(encoded));
    co_return flowgate::decodeResponse<Response>(reply);
  }

 private:
  // The body of a 2xx reply; throws APIError for other statuses.
  runtime::Task<std::string> send(platform::HttpMethod method, std::string path,
                                  std::optional<std::string> token,
                                  std::optional<std::string> body) const;

  std::shared_ptr<platform::HttpClient> session_;
  boost::urls::url baseURL_;
};

}  // namespace veskar
