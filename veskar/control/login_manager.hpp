#pragma once

// The application's session: signs the user in, keeps the user's tokens fresh
// (one refresh in flight per process, and across processes one at a time under
// the refresh file lock), restores the signed-in state at launch, prepares what
// the daemon needs to start a tunnel, and reads the account's traffic.
//
// Created once on the application's main executor; its operations run
// serialized there and suspend, without blocking it, while the network works.

#include "platform/http_client.hpp"
#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"
#include "veskar/control/control_client.hpp"
#include "veskar/control/observers.hpp"
#include "veskar/control/shared_store.hpp"
#include "veskar/control/token_state.hpp"
#include "veskar/control/traffic_info.hpp"
#include "veskar/control/tunnel_records.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace veskar {

struct LoginInfo {
  std::string phone;
  std::string publicID;

  friend bool operator==(const LoginInfo&, const LoginInfo&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("phone", self.phone);
    field("publicID", self.publicID);
  }
};

struct PreparedTunnel {
  TunnelBootstrap bootstrap;
  ExtensionTokenState extensionTokens;
};

// What the traffic figures are read from.
class TrafficSource {
 public:
  virtual ~TrafficSource() = default;
  virtual runtime::Task<TrafficInfo> fetchTraffic() = 0;
};

struct LoginManagerOptions {
  boost::urls::url baseURL = defaultBaseURL();
  std::filesystem::path refreshLockPath;  // empty: RefreshFileLock::defaultPath()
  std::shared_ptr<runtime::Clock> clock;  // null: the system clock
};

class LoginManager final : public runtime::Serialized,
                           public TrafficSource,
                           public std::enable_shared_from_this<LoginManager> {
 public:
  // A token counts as valid only if it expires later than this from now.
  static constexpr double refreshMargin = 30;

  // Restores the signed-in state: signed in when "login-session" decodes and
  // the token item exists (its validity is not examined).
  static std::shared_ptr<LoginManager> create(const runtime::Executor& mainExecutor,
                                              std::shared_ptr<platform::HttpClient> session,
                                              SharedStore store, LoginManagerOptions options = {});

  // Published state; read on the main executor.
  bool isLoggedIn() const { return isLoggedIn_; }
  const std::optional<LoginInfo>& currentLoginInfo() const { return currentLoginInfo_; }
  // Told after either changed.
  Observers& observers() { return observers_; }

  // `phone` is the full international number ("+", calling code, digits).
  // True on success; failures are thrown (APIError::server for a wrong password).
  runtime::Task<bool> login(std::string phone, std::string password);
  // Fresh user tokens, an authorization (retried once after a 401 with a forced
  // refresh), the daemon's own token pair, and the bootstrap, which is also
  // stored under "tunnel-bootstrap".
  runtime::Task<PreparedTunnel> prepareTunnel();
  runtime::Task<TrafficInfo> fetchTraffic() override;
  // The stored tokens when valid for more than the margin (and not forced),
  // else refreshed tokens; APIError::missingAuthorization without stored tokens.
  runtime::Task<TokenState> validTokens(bool forceRefresh);
  // Removes the stored sign-in (SharedStore::clear) and signs out. Stopping the
  // tunnel and the traffic monitor first is the caller's business.
  void signOut();

  // The device key under "device-key", made (an upper-case UUID) on first need.
  std::string deviceKey() const;

  const ControlClient& control() const { return control_; }
  const SharedStore& store() const { return store_; }

 private:
  LoginManager(const runtime::Executor& mainExecutor, std::shared_ptr<platform::HttpClient> session,
               SharedStore store, LoginManagerOptions options);

  void restore();
  void publish(std::optional<LoginInfo> info);
  runtime::Task<bool> loginOnStrand(std::string phone, std::string password);
  runtime::Task<PreparedTunnel> prepareTunnelOnStrand();
  runtime::Task<TrafficInfo> fetchTrafficOnStrand();
  runtime::Task<TokenState> validTokensOnStrand(bool forceRefresh);
  runtime::Task<TokenState> refresh(TokenState stored);
  TokenState tokensExpiringIn(std::string access, std::string refreshToken,
                              std::int64_t expiresIn) const;

  ControlClient control_;
  SharedStore store_;
  std::filesystem::path refreshLockPath_;
  std::shared_ptr<runtime::Clock> clock_;
  runtime::SharedTask<TokenState> refreshTask_;
  bool isLoggedIn_ = false;
  std::optional<LoginInfo> currentLoginInfo_;
  Observers observers_;
};

}  // namespace veskar
