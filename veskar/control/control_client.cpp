#include "veskar/control/control_client.hpp"

#include "platform/https_client.hpp"
#include "platform/url.hpp"
#include "runtime/text.hpp"

#include <unistd.h>

#include <climits>
#include <stdexcept>

#ifndef VESKAR_CONTROL_BASE_URL
#define VESKAR_CONTROL_BASE_URL "https://control.lab.example"
#endif

namespace veskar {

const boost::urls::url& defaultBaseURL() {
  static const boost::urls::url url = [] {
    auto parsed = platform::parseURL(VESKAR_CONTROL_BASE_URL);
    if (!parsed) throw std::logic_error("the build's control URL is not absolute");
    return *parsed;
  }();
  return url;
}

std::shared_ptr<platform::HttpClient> makeEphemeralSession(const runtime::Executor& ioExecutor) {
  return std::make_shared<platform::HttpsClient>(ioExecutor);
}

std::string deviceName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Mac";
  return name;
}

ControlClient::ControlClient(std::shared_ptr<platform::HttpClient> session,
                             boost::urls::url baseURL)
    : session_(std::move(session)), baseURL_(std::move(baseURL)) {}

runtime::Task<LoginResponse> ControlClient::login(std::string phone, std::string password) const {
  LoginRequest body;
  body.phone = std::move(phone);
  body.password = std::move(password);
  std::string path = "/v1/auth/login";
  std::optional<std::string> noToken;
  co_return co_await request<LoginResponse>(std::move(path), std::move(noToken), std::move(body));
}

runtime::Task<AuthorizeResponse> ControlClient::authorize(
    std::string access, std::string deviceKey, std::vector<std::string> localRoutes) const {
  flowgate::AuthorizationRequest body;
  body.deviceKey = std::move(deviceKey);
  body.deviceName = deviceName();
  body.localRoutes = std::move(localRoutes);
  std::string path = "/v1/tunnel/authorize";
  std::optional<std::string> token = std::move(access);
  co_return co_await request<AuthorizeResponse>(std::move(path), std::move(token), std::move(body));
}

runtime::Task<AccountResponse> ControlClient::account(std::string access) const {
  std::string path = "/v1/account";
  std::optional<std::string> token = std::move(access);
  std::optional<std::string> noBody;
  std::string reply = co_await send(platform::HttpMethod::get, std::move(path), std::move(token),
                                    std::move(noBody));
  co_return flowgate::decodeResponse<AccountResponse>(reply);
}

runtime::Task<std::string> ControlClient::send(platform::HttpMethod method, std::string path,
                                               std::optional<std::string> token,
                                               std::optional<std::string> body) const {
  platform::HttpRequest request;
  request.method = method;
  request.url = platform::appendingPath(baseURL_, path);
  request.timeout = requestTimeout;
  if (body) {
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = std::move(*body);
  }
  if (token) request.headers.emplace_back("Authorization", "Bearer " + *token);
  auto response = co_await session_->send(std::move(request));
  if (response.status < 100 || response.status > 999) throw APIError::invalidResponse();
  if (response.status >= 200 && response.status <= 299) co_return std::move(response.body);
  std::string text = runtime::isValidUTF8(response.body) ? std::move(response.body) : "";
  throw APIError::server(response.status, std::move(text));
}

}  // namespace veskar
