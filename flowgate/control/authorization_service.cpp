#include "flowgate/control/authorization_service.hpp"

#include "flowgate/control/authorization_messages.hpp"
#include "flowgate/control/token_store.hpp"
#include "platform/https_client.hpp"
#include "platform/url.hpp"
#include "runtime/iso8601.hpp"

#include <array>
#include <chrono>
#include <exception>
#include <string_view>

namespace flowgate {

namespace {

// Heartbeat refusals that a new authorization cures, whatever the status.
constexpr std::array<std::string_view, 4> kRenewalCodes = {
    "credential_expired", "invalid_credential", "lease_expired", "lease_mismatch"};

bool curedByRenewal(const AuthorizationError& error) {
  if (error.which() != AuthorizationErrorCase::server) return false;
  for (auto code : kRenewalCodes) {
    if (error.serverCode() == code) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<AuthorizationService> AuthorizationService::create(
    const runtime::Executor& executor, std::shared_ptr<platform::HttpClient> session,
    std::shared_ptr<platform::SecretStore> secrets,
    std::shared_ptr<platform::UserDefaults> defaults, std::shared_ptr<runtime::Clock> clock) {
  return std::shared_ptr<AuthorizationService>(new AuthorizationService(
      executor, std::move(session), std::move(secrets), std::move(defaults), std::move(clock)));
}

AuthorizationService::AuthorizationService(const runtime::Executor& executor,
                                           std::shared_ptr<platform::HttpClient> session,
                                           std::shared_ptr<platform::SecretStore> secrets,
                                           std::shared_ptr<platform::UserDefaults> defaults,
                                           std::shared_ptr<runtime::Clock> clock)
    : Serialized(executor),
      session_(std::move(session)),
      secrets_(std::move(secrets)),
      defaults_(std::move(defaults)),
      clock_(std::move(clock)) {}

runtime::Task<std::optional<ExtensionBootstrap>> AuthorizationService::heartbeat(
    ExtensionBootstrap current) {
  return serialized(heartbeatOnStrand(std::move(current)));
}

runtime::Task<ExtensionBootstrap> AuthorizationService::reauthorize(ExtensionBootstrap current) {
  return serialized(reauthorizeOnStrand(std::move(current)));
}

runtime::Task<std::optional<ExtensionBootstrap>> AuthorizationService::heartbeatOnStrand(
    ExtensionBootstrap current) {
  saveKept();
  if (expiresSoon(current.credentialExpiresAt)) {
    co_return co_await reauthorizeOnStrand(std::move(current));
  }
  try {
    std::string url = current.controlURL;
    std::string path = "/v1/tunnel/heartbeat";
    std::optional<std::string> noToken;
    std::string body = encodeRequestBody(HeartbeatRequest{current.deviceCredential});
    std::string answer =
        co_await request(std::move(url), std::move(path), std::move(noToken), std::move(body));
    // Decoded only to check the answer; nothing of it is used.
    decodeResponse<HeartbeatResult>(answer);
    co_return std::nullopt;
  } catch (const AuthorizationError& error) {
    if (!curedByRenewal(error)) throw;
  }
  co_return co_await reauthorizeOnStrand(std::move(current));
}

runtime::Task<ExtensionBootstrap> AuthorizationService::reauthorizeOnStrand(
    ExtensionBootstrap current) {
  if (renewalTask_) {
    auto running = renewalTask_;
    co_return co_await running.value();
  }
  auto self = shared_from_this();
  auto task = runtime::SharedTask<ExtensionBootstrap>::start(
      innerExecutor(), [self, current](runtime::CancelToken) {
        return runtime::runOn<ExtensionBootstrap>(self->strand(),
                                                  self->performReauthorize(current));
      });
  renewalTask_ = task;
  std::exception_ptr error;
  std::optional<ExtensionBootstrap> result;
  try {
    result.emplace(co_await task.value());
  } catch (...) {
    error = std::current_exception();
  }
  renewalTask_ = {};
  if (error) std::rethrow_exception(error);
  co_return std::move(*result);
}

runtime::Task<ExtensionBootstrap> AuthorizationService::performReauthorize(
    ExtensionBootstrap current) {
  auto tokens = unsavedTokens_ ? unsavedTokens_ : loadTokens(*secrets_);
  if (!tokens) throw AuthorizationError::missingRefreshToken();

  std::string accessToken = tokens->accessToken;
  if (!(tokens->accessExpiresAt > clock_->now().adding(accessTokenMargin))) {
    std::string url = current.controlURL;
    std::string path = "/v1/auth/refresh";
    std::optional<std::string> noToken;
    std::string body = encodeRequestBody(RefreshRequest{tokens->refreshToken});
    std::string answer =
        co_await request(std::move(url), std::move(path), std::move(noToken), std::move(body));
    auto refreshed = decodeResponse<RefreshResult>(answer);
    StoredTokenState renewed{refreshed.accessToken, refreshed.refreshToken,
                             clock_->now().adding(static_cast<double>(refreshed.expiresIn))};
    accessToken = renewed.accessToken;
    // Kept before authorizing: the old refresh token is spent either way.
    keepTokens(std::move(renewed));
  }

  std::string url = current.controlURL;
  std::string path = "/v1/tunnel/authorize";
  std::optional<std::string> bearer = accessToken;
  AuthorizationRequest authorization;
  authorization.deviceKey = current.deviceKey;
  authorization.localRoutes = current.localRoutes;
  std::string body = encodeRequestBody(authorization);
  std::string answer =
      co_await request(std::move(url), std::move(path), std::move(bearer), std::move(body));
  auto result = decodeResponse<AuthorizationResult>(answer);
  if (result.config.nodes.empty()) throw AuthorizationError::invalidResponse();

  ExtensionBootstrap next = std::move(current);
  next.deviceID = result.deviceId;
  next.deviceCredential = std::move(result.deviceCredential);
  next.credentialExpiresAt = std::move(result.credentialExpiresAt);
  next.vpnIPv4 = std::move(result.vpnIpv4);
  next.leaseExpiresAt = std::move(result.leaseExpiresAt);
  next.config = std::move(result.config);
  keepBootstrap(runtime::json::encodeText(next));
  co_return next;
}

void AuthorizationService::keepTokens(StoredTokenState tokens) {
  unsavedTokens_ = std::move(tokens);
  saveKept();
}

void AuthorizationService::keepBootstrap(std::string encoded) {
  unsavedBootstrap_ = std::move(encoded);
  saveKept();
}

void AuthorizationService::saveKept() {
  if (unsavedTokens_) {
    try {
      saveTokens(*secrets_, *unsavedTokens_);
      unsavedTokens_.reset();
    } catch (const std::exception&) {
      // Kept; the tunnel carries on with the values in memory.
    }
  }
  if (unsavedBootstrap_) {
    try {
      defaults_->setData(bootstrapDefaultsKey, *unsavedBootstrap_);
      unsavedBootstrap_.reset();
    } catch (const std::exception&) {
    }
  }
}

runtime::Task<std::string> AuthorizationService::request(std::string baseURL, std::string path,
                                                         std::optional<std::string> token,
                                                         std::string body) {
  auto base = platform::parseURL(baseURL);
  if (!base) throw AuthorizationError::invalidResponse();
  platform::HttpRequest outgoing;
  outgoing.method = platform::HttpMethod::post;
  outgoing.url = platform::appendingPath(*base, path);
  outgoing.headers.emplace_back("Content-Type", "application/json");
  if (token) outgoing.headers.emplace_back("Authorization", "Bearer " + *token);
  outgoing.body = std::move(body);
  outgoing.timeout = requestTimeout;
  auto response = co_await session_->send(std::move(outgoing));
  if (response.status >= 200 && response.status <= 299) co_return std::move(response.body);
  throw AuthorizationError::server(response.status, serverErrorCode(response.body));
}

bool AuthorizationService::expiresSoon(const std::string& date) const {
  auto expiry = runtime::parseISO8601Date(date);
  return expiry && *expiry <= clock_->now().adding(credentialRenewalWindow);
}

std::shared_ptr<platform::HttpClient> makeControlSession(const runtime::Executor& ioExecutor,
                                                         std::optional<std::uint32_t> routingMark) {
  platform::HttpsClientOptions options;
  options.routingMark = routingMark;
  return std::make_shared<platform::HttpsClient>(ioExecutor, options);
}

}  // namespace flowgate
