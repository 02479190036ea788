#include "veskar/control/login_manager.hpp"

#include "runtime/json_codec.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/control/local_network.hpp"
#include "veskar/control/refresh_lock.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cctype>
#include <exception>

namespace veskar {

std::shared_ptr<LoginManager> LoginManager::create(const runtime::Executor& mainExecutor,
                                                   std::shared_ptr<platform::HttpClient> session,
                                                   SharedStore store, LoginManagerOptions options) {
  std::shared_ptr<LoginManager> manager(
      new LoginManager(mainExecutor, std::move(session), std::move(store), std::move(options)));
  manager->restore();
  return manager;
}

LoginManager::LoginManager(const runtime::Executor& mainExecutor,
                           std::shared_ptr<platform::HttpClient> session, SharedStore store,
                           LoginManagerOptions options)
    : Serialized(mainExecutor),
      control_(std::move(session), std::move(options.baseURL)),
      store_(std::move(store)),
      refreshLockPath_(options.refreshLockPath.empty() ? RefreshFileLock::defaultPath()
                                                       : std::move(options.refreshLockPath)),
      clock_(options.clock ? std::move(options.clock) : std::make_shared<runtime::SystemClock>()) {}

void LoginManager::restore() {
  auto bytes = store_.defaults().data(kLoginSessionKey);
  if (!bytes) return;
  LoginInfo info;
  try {
    info = runtime::json::decodeText<LoginInfo>(*bytes);
  } catch (const std::exception&) {
    return;
  }
  if (!store_.tokens()) return;
  currentLoginInfo_ = std::move(info);
  isLoggedIn_ = true;
}

void LoginManager::publish(std::optional<LoginInfo> info) {
  isLoggedIn_ = info.has_value();
  currentLoginInfo_ = std::move(info);
  observers_.notify();
}

runtime::Task<bool> LoginManager::login(std::string phone, std::string password) {
  return serialized(loginOnStrand(std::move(phone), std::move(password)));
}

runtime::Task<PreparedTunnel> LoginManager::prepareTunnel() {
  return serialized(prepareTunnelOnStrand());
}

runtime::Task<TrafficInfo> LoginManager::fetchTraffic() {
  return serialized(fetchTrafficOnStrand());
}

runtime::Task<TokenState> LoginManager::validTokens(bool forceRefresh) {
  return serialized(validTokensOnStrand(forceRefresh));
}

void LoginManager::signOut() {
  store_.clear();
  publish(std::nullopt);
}

std::string LoginManager::deviceKey() const {
  if (auto existing = store_.defaults().string(kDeviceKeyKey)) return *existing;
  std::string key = boost::uuids::to_string(boost::uuids::random_generator()());
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  store_.defaults().setString(kDeviceKeyKey, key);
  return key;
}

TokenState LoginManager::tokensExpiringIn(std::string access, std::string refreshToken,
                                          std::int64_t expiresIn) const {
  return {std::move(access), std::move(refreshToken),
          clock_->now().adding(static_cast<double>(expiresIn))};
}

runtime::Task<bool> LoginManager::loginOnStrand(std::string phone, std::string password) {
  auto reply = co_await control_.login(std::move(phone), std::move(password));
  store_.saveTokens(tokensExpiringIn(reply.accessToken, reply.refreshToken, reply.expiresIn));
  LoginInfo info{reply.user.phone, reply.user.publicId};
  store_.defaults().setData(kLoginSessionKey, runtime::json::encodeText(info));
  publish(std::move(info));
  co_return true;
}

runtime::Task<TokenState> LoginManager::validTokensOnStrand(bool forceRefresh) {
  auto stored = store_.tokens();
  if (!stored) throw APIError::missingAuthorization();
  if (!forceRefresh && stored->accessExpiresAt > clock_->now().adding(refreshMargin)) {
    co_return *stored;
  }
  if (refreshTask_) {
    auto running = refreshTask_;
    co_return co_await running.value();
  }
  auto self = shared_from_this();
  auto task = runtime::SharedTask<TokenState>::start(
      innerExecutor(), [self, stored = *stored](runtime::CancelToken) {
        return runtime::runOn<TokenState>(self->strand(), self->refresh(stored));
      });
  refreshTask_ = task;
  std::exception_ptr error;
  std::optional<TokenState> result;
  try {
    result.emplace(co_await task.value());
  } catch (...) {
    error = std::current_exception();
  }
  refreshTask_ = {};
  if (error) std::rethrow_exception(error);
  co_return std::move(*result);
}

runtime::Task<TokenState> LoginManager::refresh(TokenState stored) {
  // Held until this returns, whatever the outcome.
  auto lock = co_await RefreshFileLock::acquire(refreshLockPath_);
  // Another process may have refreshed while this one waited for the lock.
  TokenState current = store_.tokens().value_or(std::move(stored));
  if (current.accessExpiresAt > clock_->now().adding(refreshMargin)) co_return current;
  std::string path = "/v1/auth/refresh";
  std::optional<std::string> noToken;
  RefreshRequest body{current.refreshToken};
  auto reply = co_await control_.request<RefreshResponse>(std::move(path), std::move(noToken),
                                                          std::move(body));
  auto fresh = tokensExpiringIn(reply.accessToken, reply.refreshToken, reply.expiresIn);
  store_.saveTokens(fresh);
  co_return fresh;
}

runtime::Task<PreparedTunnel> LoginManager::prepareTunnelOnStrand() {
  auto tokens = co_await validTokensOnStrand(false);
  auto routes = localRoutes();
  auto key = deviceKey();

  std::optional<AuthorizeResponse> reply;
  bool rejected = false;
  try {
    std::string access = tokens.accessToken;
    std::string keyCopy = key;
    std::vector<std::string> sent = routes;
    reply.emplace(
        co_await control_.authorize(std::move(access), std::move(keyCopy), std::move(sent)));
  } catch (const APIError& error) {
    if (error.which() != APIErrorCase::server || error.status() != 401) throw;
    rejected = true;
  }
  if (rejected) {
    tokens = co_await validTokensOnStrand(true);
    std::string access = tokens.accessToken;
    std::string keyCopy = key;
    std::vector<std::string> sent = routes;
    reply.emplace(
        co_await control_.authorize(std::move(access), std::move(keyCopy), std::move(sent)));
  }
  if (reply->config.nodes.empty()) throw APIError::noAvailableNodes();

  std::string path = "/v1/auth/extension-session";
  std::optional<std::string> bearer = tokens.accessToken;
  ExtensionSessionRequest sessionBody{key};
  auto session = co_await control_.request<RefreshResponse>(std::move(path), std::move(bearer),
                                                            std::move(sessionBody));

  PreparedTunnel prepared;
  prepared.extensionTokens =
      tokensExpiringIn(session.accessToken, session.refreshToken, session.expiresIn);
  auto& bootstrap = prepared.bootstrap;
  bootstrap.controlURL = std::string(control_.baseURL().buffer());
  bootstrap.controlIPv4 = resolveIPv4(std::string(control_.baseURL().host()));
  bootstrap.deviceKey = key;
  bootstrap.deviceID = reply->deviceId;
  bootstrap.deviceCredential = std::move(reply->deviceCredential);
  bootstrap.credentialExpiresAt = std::move(reply->credentialExpiresAt);
  bootstrap.vpnIPv4 = std::move(reply->vpnIpv4);
  bootstrap.leaseExpiresAt = std::move(reply->leaseExpiresAt);
  bootstrap.config = std::move(reply->config);
  bootstrap.localRoutes = std::move(routes);
  store_.defaults().setData(kTunnelBootstrapKey, runtime::json::encodeText(bootstrap));
  co_return prepared;
}

runtime::Task<TrafficInfo> LoginManager::fetchTrafficOnStrand() {
  auto tokens = co_await validTokensOnStrand(false);
  std::string access = tokens.accessToken;
  auto account = co_await control_.account(std::move(access));
  co_return TrafficInfo{account.remainingBytes, account.rechargeBaselineBytes};
}

}  // namespace veskar
