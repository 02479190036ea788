#pragma once

// The signed-in user's tokens in the secret store, in the access group shared
// with the daemon, and the application's user-defaults keys. Every call goes to
// the stores afresh; the object holds only the two stores.

#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"
#include "veskar/control/token_state.hpp"

#include <memory>
#include <optional>

namespace veskar {

// User-defaults keys of the application.
inline constexpr const char* kLoginSessionKey = "login-session";
inline constexpr const char* kDeviceKeyKey = "device-key";
inline constexpr const char* kTunnelBootstrapKey = "tunnel-bootstrap";
inline constexpr const char* kHighSpeedEnabledKey = "highSpeedEnabled";

class SharedStore {
 public:
  SharedStore(std::shared_ptr<platform::SecretStore> secrets,
              std::shared_ptr<platform::UserDefaults> defaults);

  // The user's store: the desktop keyring when one answers (the token item moved
  // there from the file), else the secret files under the user's data
  // directory; and the user defaults of the "veskar" domain.
  static SharedStore standard();

  // The item's identity: service "<bundle prefix>.macos.tokens", account
  // "current-user", the shared access group.
  static platform::SecretItemKey tokenItem();

  // Nothing for a missing item, a failed read or data that is no TokenState.
  std::optional<TokenState> tokens() const;
  // Update, else add (this-device-only); throws runtime::SystemError with the
  // store's SecretStatus, leaving the item as it was.
  void saveTokens(const TokenState& tokens) const;
  // Removes the token item, "login-session" and "tunnel-bootstrap"; never fails.
  // "device-key" stays.
  void clear() const;

  // "highSpeedEnabled", true when never written or not a boolean.
  bool highSpeedEnabled() const;

  platform::UserDefaults& defaults() const { return *defaults_; }

 private:
  std::shared_ptr<platform::SecretStore> secrets_;
  std::shared_ptr<platform::UserDefaults> defaults_;
};

}  // namespace veskar
