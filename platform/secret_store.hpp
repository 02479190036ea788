#pragma once

// Secrets kept as generic-password items: each item is named by its service,
// account and access group, holds opaque bytes, and records when it may be read
// (its accessibility, fixed when the item is created). Operations answer with
// keychain status codes, so callers can follow the update-then-add pattern: an
// update of a missing item reports itemNotFound (-25300), an add over an
// existing one duplicateItem.

#include "runtime/error.hpp"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

namespace platform {

enum class SecretStatus : std::int32_t {
  success = 0,
  ioError = -36,
  badParameter = -50,
  duplicateItem = -25299,
  itemNotFound = -25300,
  decodeFailed = -26275,
};

inline runtime::ErrorCode make_error_code(SecretStatus s) { return runtime::makeErrorCode(s); }

// The identity and team of the build, which name the shared access group.
inline constexpr std::string_view kTeamIdentifier = "VSKR4T3AM1";
inline constexpr std::string_view kBundlePrefix = "net.veskar";

// The access group the app and the daemon share: the team identifier, a dot, the
// bundle prefix and ".macos.shared".
std::string sharedAccessGroup();

enum class SecretAccessibility {
  afterFirstUnlockThisDeviceOnly,
  whenUnlockedThisDeviceOnly,
};

// The accessibility's name as items record it ("afterFirstUnlockThisDeviceOnly").
std::string_view accessibilityName(SecretAccessibility accessibility);
std::optional<SecretAccessibility> accessibilityNamed(std::string_view name);

struct SecretItemKey {
  std::string service;
  std::string account;
  // Nothing: the store's default access group.
  std::optional<std::string> accessGroup;
};

struct SecretItem {
  std::string data;
  SecretAccessibility accessibility = SecretAccessibility::afterFirstUnlockThisDeviceOnly;
};

struct SecretLookup {
  SecretStatus status = SecretStatus::itemNotFound;
  std::optional<SecretItem> item;  // present exactly when status is success
};

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  virtual SecretLookup copyMatching(const SecretItemKey& key) = 0;
  // Replaces the data of an existing item; its accessibility stays.
  virtual SecretStatus update(const SecretItemKey& key, std::string_view data) = 0;
  virtual SecretStatus add(const SecretItemKey& key, std::string_view data,
                           SecretAccessibility accessibility) = 0;
  virtual SecretStatus remove(const SecretItemKey& key) = 0;
};

// One file per item in a 0700 directory, each written 0600 whatever the umask and
// replaced atomically, so a reader or a crash sees the old item or the new one,
// never a mixture. Symlinks planted at the directory or an item are refused
// (ioError) and left untouched; a file that is not a well-formed item of this
// key reads as decodeFailed and is replaced by the next add. Writers in several
// threads or processes are serialized by a lock on the directory.
class FileSecretStore final : public SecretStore {
 public:
  FileSecretStore(std::filesystem::path directory, std::string defaultAccessGroup);

  SecretLookup copyMatching(const SecretItemKey& key) override;
  SecretStatus update(const SecretItemKey& key, std::string_view data) override;
  SecretStatus add(const SecretItemKey& key, std::string_view data,
                   SecretAccessibility accessibility) override;
  SecretStatus remove(const SecretItemKey& key) override;

  // Where the item of `key` lives.
  std::filesystem::path itemPath(const SecretItemKey& key) const;
  const std::filesystem::path& directory() const { return directory_; }

 private:
  std::string groupOf(const SecretItemKey& key) const;

  std::filesystem::path directory_;
  std::string defaultAccessGroup_;
};

// Where the app keeps its items: $XDG_DATA_HOME/Veskar/secrets, else
// ~/.local/share/Veskar/secrets. The daemon uses /var/lib/veskar/secrets.
std::filesystem::path standardSecretDirectory();
inline constexpr const char* kDaemonSecretDirectory = "/var/lib/veskar/secrets";

// A store in memory for other modules' tests; refuse() makes one kind of
// operation answer a given status until cleared with success.
class MemorySecretStore final : public SecretStore {
 public:
  enum class Operation { copyMatching, update, add, remove };

  explicit MemorySecretStore(std::string defaultAccessGroup = sharedAccessGroup());

  SecretLookup copyMatching(const SecretItemKey& key) override;
  SecretStatus update(const SecretItemKey& key, std::string_view data) override;
  SecretStatus add(const SecretItemKey& key, std::string_view data,
                   SecretAccessibility accessibility) override;
  SecretStatus remove(const SecretItemKey& key) override;

  void refuse(Operation operation, SecretStatus status);

 private:
  using Identity = std::tuple<std::string, std::string, std::string>;
  Identity identityOf(const SecretItemKey& key) const;
  SecretStatus refusal(Operation operation) const;

  std::string defaultAccessGroup_;
  mutable std::mutex mutex_;
  std::map<Identity, SecretItem> items_;
  std::map<Operation, SecretStatus> refusals_;
};

}  // namespace platform

template <>
struct runtime::ErrorTraits<platform::SecretStatus> {
  static constexpr const char* name = "platform.secret-status";
  static std::string_view description(platform::SecretStatus s) {
    using enum platform::SecretStatus;
    switch (s) {
      case success: return "No error";
      case ioError: return "I/O error";
      case badParameter: return "Invalid parameter";
      case duplicateItem: return "The item already exists";
      case itemNotFound: return "The item could not be found";
      case decodeFailed: return "Unable to decode the item";
    }
    return "Secret store status";
  }
};

VESKAR_ERROR_CODE_ENUM(platform::SecretStatus);
