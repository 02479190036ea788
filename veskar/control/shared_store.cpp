#include "veskar/control/shared_store.hpp"

#include "platform/keyring/keyring_secret_store.hpp"
#include "runtime/json_codec.hpp"

#include <exception>

namespace veskar {

SharedStore::SharedStore(std::shared_ptr<platform::SecretStore> secrets,
                         std::shared_ptr<platform::UserDefaults> defaults)
    : secrets_(std::move(secrets)), defaults_(std::move(defaults)) {}

SharedStore SharedStore::standard() {
  return SharedStore(platform::userSecretStore(platform::standardSecretDirectory(),
                                               platform::sharedAccessGroup(), {tokenItem()}),
                     std::make_shared<platform::UserDefaults>(
                         platform::standardUserDefaultsDirectory(), "veskar"));
}

platform::SecretItemKey SharedStore::tokenItem() {
  return {std::string(platform::kBundlePrefix) + ".macos.tokens", "current-user",
          platform::sharedAccessGroup()};
}

std::optional<TokenState> SharedStore::tokens() const {
  auto lookup = secrets_->copyMatching(tokenItem());
  if (lookup.status != platform::SecretStatus::success || !lookup.item) return std::nullopt;
  try {
    return runtime::json::decodeText<TokenState>(lookup.item->data);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void SharedStore::saveTokens(const TokenState& tokens) const {
  auto bytes = runtime::json::encodeText(tokens);
  auto key = tokenItem();
  auto status = secrets_->update(key, bytes);
  if (status == platform::SecretStatus::itemNotFound) {
    status =
        secrets_->add(key, bytes, platform::SecretAccessibility::afterFirstUnlockThisDeviceOnly);
  }
  if (status != platform::SecretStatus::success) runtime::fail(status);
}

void SharedStore::clear() const {
  secrets_->remove(tokenItem());
  // Removal failures are ignored like the item's: sign-out goes on regardless.
  for (const char* key : {kLoginSessionKey, kTunnelBootstrapKey}) {
    try {
      defaults_->remove(key);
    } catch (const std::exception&) {
    }
  }
}

bool SharedStore::highSpeedEnabled() const {
  return defaults_->boolean(kHighSpeedEnabledKey).value_or(true);
}

}  // namespace veskar
