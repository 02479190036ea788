#pragma once

// Keeps the device credential and address lease valid while the tunnel runs: a
// heartbeat for the credential in force, and when the credential is about to
// expire or the server rejects it, a re-authorization (refreshing the daemon's
// access token first when it is about to expire) that yields a new bootstrap.
// Concurrent re-authorizations share one renewal.

#include "flowgate/config/records.hpp"
#include "flowgate/control/authorization_error.hpp"
#include "flowgate/control/heartbeat_source.hpp"
#include "flowgate/control/stored_token_state.hpp"
#include "platform/http_client.hpp"
#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"

#include <boost/json/value.hpp>

#include <chrono>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace flowgate {

class AuthorizationService final : public runtime::Serialized,
                                   public HeartbeatSource,
                                   public std::enable_shared_from_this<AuthorizationService> {
 public:
  static constexpr const char* bootstrapDefaultsKey = "tunnel-bootstrap";
  static constexpr std::chrono::seconds requestTimeout{60};
  // A credential expiring within this is renewed instead of sent in a heartbeat.
  static constexpr double credentialRenewalWindow = 600;
  // An access token valid for no longer than this is refreshed before use.
  static constexpr double accessTokenMargin = 30;

  // `session` is the daemon's control-plane HTTP client (see makeControlSession),
  // `secrets` holds the token item, `defaults` the daemon's user defaults.
  static std::shared_ptr<AuthorizationService> create(
      const runtime::Executor& executor, std::shared_ptr<platform::HttpClient> session,
      std::shared_ptr<platform::SecretStore> secrets,
      std::shared_ptr<platform::UserDefaults> defaults, std::shared_ptr<runtime::Clock> clock);

  // Nothing when the heartbeat went through; a new bootstrap when it had to
  // re-authorize.
  runtime::Task<std::optional<ExtensionBootstrap>> heartbeat(ExtensionBootstrap current) override;
  runtime::Task<ExtensionBootstrap> reauthorize(ExtensionBootstrap current);

 private:
  AuthorizationService(const runtime::Executor& executor,
                       std::shared_ptr<platform::HttpClient> session,
                       std::shared_ptr<platform::SecretStore> secrets,
                       std::shared_ptr<platform::UserDefaults> defaults,
                       std::shared_ptr<runtime::Clock> clock);

  runtime::Task<std::optional<ExtensionBootstrap>> heartbeatOnStrand(ExtensionBootstrap current);
  runtime::Task<ExtensionBootstrap> reauthorizeOnStrand(ExtensionBootstrap current);
  runtime::Task<ExtensionBootstrap> performReauthorize(ExtensionBootstrap current);
  // One POST; answers the 2xx body, throws AuthorizationError::server otherwise.
  runtime::Task<std::string> request(std::string baseURL, std::string path,
                                     std::optional<std::string> token, std::string body);
  bool expiresSoon(const std::string& date) const;
  // A value the server has already rotated is kept in memory until a save
  // succeeds: a failed write must not lose it. Retried at every heartbeat.
  void keepTokens(StoredTokenState tokens);
  void keepBootstrap(std::string encoded);
  void saveKept();

  std::shared_ptr<platform::HttpClient> session_;
  std::shared_ptr<platform::SecretStore> secrets_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<runtime::Clock> clock_;
  runtime::SharedTask<ExtensionBootstrap> renewalTask_;
  // Not yet on disk (the strand's own).
  std::optional<StoredTokenState> unsavedTokens_;
  std::optional<std::string> unsavedBootstrap_;
};

// The HTTPS client for the daemon's control-plane requests: every socket it
// opens carries `routingMark` when one is given (the daemon passes
// platform::kRoutingMark), so these requests never enter the tunnel.
std::shared_ptr<platform::HttpClient> makeControlSession(const runtime::Executor& ioExecutor,
                                                         std::optional<std::uint32_t> routingMark);

}  // namespace flowgate
