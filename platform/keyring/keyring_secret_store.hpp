#pragma once

// Secret items in the desktop keyring, through the Secret Service on the
// session bus: one keyring item per secret item, found by its service, account
// and access group, its accessibility kept as another attribute. Every call
// gives up after a bounded wait and answers ioError, so a keyring that hangs
// never holds the app. Nothing here unlocks the keyring: that would raise a
// prompt and wait on the user.

#include "platform/secret_store.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class KeyringSecretStore final : public SecretStore {
 public:
  static constexpr std::chrono::milliseconds defaultWait{3000};

  // The keyring when the session bus has a Secret Service whose default
  // collection is there and unlocked, answering within `wait`; else nothing.
  // No session bus named in the environment: nothing, without trying (a bus
  // would otherwise be launched for us).
  static std::shared_ptr<KeyringSecretStore> connect(std::string defaultAccessGroup,
                                                     std::chrono::milliseconds wait = defaultWait);
  ~KeyringSecretStore() override;

  SecretLookup copyMatching(const SecretItemKey& key) override;
  SecretStatus update(const SecretItemKey& key, std::string_view data) override;
  SecretStatus add(const SecretItemKey& key, std::string_view data,
                   SecretAccessibility accessibility) override;
  SecretStatus remove(const SecretItemKey& key) override;

  struct Service;
  KeyringSecretStore(std::unique_ptr<Service> service, std::string defaultAccessGroup,
                     std::chrono::milliseconds wait);  // use connect()

 private:
  std::unique_ptr<Service> service_;
  std::string defaultAccessGroup_;
  std::chrono::milliseconds wait_;
};

// Moves each item of `keys` from `from` into `to` (update, else add, with its
// accessibility), reads it back, then removes it from `from`. False when any
// step failed: the item then stays in `from`, whatever `to` holds, and `from`
// stays the store to use. An item missing from `from` is nothing to move.
bool moveSecretItems(SecretStore& from, SecretStore& to, const std::vector<SecretItemKey>& keys);

// The user's store: the keyring when one answers (the items of `keys` moved
// there from the file store first), else the file store in `directory`.
std::shared_ptr<SecretStore> userSecretStore(
    const std::filesystem::path& directory, std::string defaultAccessGroup,
    const std::vector<SecretItemKey>& keys,
    std::chrono::milliseconds wait = KeyringSecretStore::defaultWait);

}  // namespace platform
