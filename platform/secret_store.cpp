#include "platform/secret_store.hpp"
#include "platform/unique_fd.hpp"

#include "platform/data_directory.hpp"

#include "platform/atomic_file.hpp"
#include "runtime/base64.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace bj = boost::json;

std::string_view accessibilityName(SecretAccessibility accessibility) {
  switch (accessibility) {
    case SecretAccessibility::afterFirstUnlockThisDeviceOnly:
      return "afterFirstUnlockThisDeviceOnly";
    case SecretAccessibility::whenUnlockedThisDeviceOnly: return "whenUnlockedThisDeviceOnly";
  }
  return "";
}

std::optional<SecretAccessibility> accessibilityNamed(std::string_view name) {
  for (auto candidate : {SecretAccessibility::afterFirstUnlockThisDeviceOnly,
                         SecretAccessibility::whenUnlockedThisDeviceOnly}) {
    if (accessibilityName(candidate) == name) return candidate;
  }
  return std::nullopt;
}

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kItemMode = 0600;
// Items are small; anything larger is not one of ours.
constexpr std::size_t kMaxItemSize = 1024 * 1024;

struct Identity {
  std::string service;
  std::string account;
  std::string accessGroup;
};

std::string encodeItem(const Identity& identity, std::string_view data,
                       SecretAccessibility accessibility) {
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  bj::object object{{"service", identity.service},
                    {"account", identity.account},
                    {"accessGroup", identity.accessGroup},
                    {"accessibility", accessibilityName(accessibility)},
                    {"data", runtime::base64::encode(bytes)}};
  return bj::serialize(object);
}

// The item in `text` when it is well formed and names `identity`.
std::optional<SecretItem> decodeItem(std::string_view text, const Identity& identity) {
  bj::error_code error;
  auto value = bj::parse(text, error);
  if (error || !value.is_object()) return std::nullopt;
  const auto& object = value.get_object();
  auto string = [&](std::string_view key) -> std::optional<std::string_view> {
    auto it = object.find(key);
    if (it == object.end() || !it->value().is_string()) return std::nullopt;
    return std::string_view(it->value().get_string());
  };
  auto service = string("service");
  auto account = string("account");
  auto group = string("accessGroup");
  auto accessibility = string("accessibility");
  auto data = string("data");
  if (!service || !account || !group || !accessibility || !data) return std::nullopt;
  if (*service != identity.service || *account != identity.account ||
      *group != identity.accessGroup) {
    return std::nullopt;
  }
  auto level = accessibilityNamed(*accessibility);
  auto bytes = runtime::base64::decode(*data);
  if (!level || !bytes) return std::nullopt;
  return SecretItem{std::string(bytes->begin(), bytes->end()), *level};
}

// The item's file name: a digest of its identity, so any service, account or
// group text makes a safe, fixed-length name.
std::string fileNameOf(const Identity& identity) {
  std::string material;
  for (const auto* part : {&identity.service, &identity.account, &identity.accessGroup}) {
    material += std::to_string(part->size());
    material += ':';
    material += *part;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(material.data(), material.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name += hex[digest[i] >> 4];
    name += hex[digest[i] & 0xf];
  }
  return name + ".item";
}

enum class DirectoryState { missing, usable, refused };

DirectoryState inspectDirectory(const std::filesystem::path& directory) {
  struct stat status {};
  if (::lstat(directory.c_str(), &status) != 0) {
    return errno == ENOENT ? DirectoryState::missing : DirectoryState::refused;
  }
  return S_ISDIR(status.st_mode) ? DirectoryState::usable : DirectoryState::refused;
}

// Holds the directory's exclusive lock: writers in any process take turns, so
// update-then-add and add-if-absent are single steps.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::filesystem::path& directory)
      : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    if (fd_.get() < 0) return;
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return;
    }
    locked_ = true;
    // A directory someone loosened is tightened again before a secret goes in.
    struct stat status {};
    if (::fstat(fd_.get(), &status) == 0 && (status.st_mode & 07777) != kDirectoryMode &&
        status.st_uid == ::geteuid()) {
      ::fchmod(fd_.get(), kDirectoryMode);
    }
  }
  bool locked() const { return locked_; }

 private:
  UniqueFd fd_;
  bool locked_ = false;
};

enum class Presence { absent, present, corrupt, refused };

struct Existing {
  Presence presence = Presence::absent;
  std::optional<SecretItem> item;
};

Existing readItem(const std::filesystem::path& path, const Identity& identity) {
  std::optional<std::string> text;
  try {
    text = readFileNoFollow(path, kMaxItemSize);
  } catch (const runtime::SystemError& e) {
    // An oversized file is simply not an item; a symlink or a device is refused.
    if (e.code() == boost::system::errc::file_too_large) return {Presence::corrupt, {}};
    return {Presence::refused, {}};
  }
  if (!text) return {Presence::absent, {}};
  auto item = decodeItem(*text, identity);
  if (!item) return {Presence::corrupt, {}};
  return {Presence::present, std::move(item)};
}

SecretStatus writeItem(const std::filesystem::path& path, const Identity& identity,
                       std::string_view data, SecretAccessibility accessibility) {
  try {
    writeFileAtomically(path, encodeItem(identity, data, accessibility), kItemMode);
  } catch (const runtime::SystemError&) {
    return SecretStatus::ioError;
  }
  return SecretStatus::success;
}

}  // namespace

std::string sharedAccessGroup() {
  return std::string(kTeamIdentifier) + "." + std::string(kBundlePrefix) + ".macos.shared";
}

std::filesystem::path standardSecretDirectory() { return userDataDirectory() / "secrets"; }

// ---- FileSecretStore ----

FileSecretStore::FileSecretStore(std::filesystem::path directory, std::string defaultAccessGroup)
    : directory_(std::move(directory)), defaultAccessGroup_(std::move(defaultAccessGroup)) {}

std::string FileSecretStore::groupOf(const SecretItemKey& key) const {
  return key.accessGroup.value_or(defaultAccessGroup_);
}

std::filesystem::path FileSecretStore::itemPath(const SecretItemKey& key) const {
  return directory_ / fileNameOf({key.service, key.account, groupOf(key)});
}

SecretLookup FileSecretStore::copyMatching(const SecretItemKey& key) {
  switch (inspectDirectory(directory_)) {
    case DirectoryState::missing: return {SecretStatus::itemNotFound, {}};
    case DirectoryState::refused: return {SecretStatus::ioError, {}};
    case DirectoryState::usable: break;
  }
  auto existing = readItem(itemPath(key), {key.service, key.account, groupOf(key)});
  switch (existing.presence) {
    case Presence::absent: return {SecretStatus::itemNotFound, {}};
    case Presence::corrupt: return {SecretStatus::decodeFailed, {}};
    case Presence::refused: return {SecretStatus::ioError, {}};
    case Presence::present: break;
  }
  return {SecretStatus::success, std::move(existing.item)};
}

SecretStatus FileSecretStore::update(const SecretItemKey& key, std::string_view data) {
  switch (inspectDirectory(directory_)) {
    case DirectoryState::missing: return SecretStatus::itemNotFound;
    case DirectoryState::refused: return SecretStatus::ioError;
    case DirectoryState::usable: break;
  }
  DirectoryLock lock(directory_);
  if (!lock.locked()) return SecretStatus::ioError;
  Identity identity{key.service, key.account, groupOf(key)};
  auto path = itemPath(key);
  auto existing = readItem(path, identity);
  switch (existing.presence) {
    // A corrupt item has no attributes left to keep: it is re-created by add.
    case Presence::absent:
    case Presence::corrupt: return SecretStatus::itemNotFound;
    case Presence::refused: return SecretStatus::ioError;
    case Presence::present: break;
  }
  return writeItem(path, identity, data, existing.item->accessibility);
}

SecretStatus FileSecretStore::add(const SecretItemKey& key, std::string_view data,
                                  SecretAccessibility accessibility) {
  switch (inspectDirectory(directory_)) {
    case DirectoryState::refused: return SecretStatus::ioError;
    case DirectoryState::missing: try { createDirectories(directory_, kDirectoryMode);
      } catch (const runtime::SystemError&) {
        return SecretStatus::ioError;
      }
      break;
    case DirectoryState::usable: break;
  }
  DirectoryLock lock(directory_);
  if (!lock.locked()) return SecretStatus::ioError;
  Identity identity{key.service, key.account, groupOf(key)};
  auto path = itemPath(key);
  switch (readItem(path, identity).presence) {
    case Presence::present: return SecretStatus::duplicateItem;
    case Presence::refused: return SecretStatus::ioError;
    case Presence::absent:
    case Presence::corrupt: break;
  }
  return writeItem(path, identity, data, accessibility);
}

SecretStatus FileSecretStore::remove(const SecretItemKey& key) {
  switch (inspectDirectory(directory_)) {
    case DirectoryState::missing: return SecretStatus::itemNotFound;
    case DirectoryState::refused: return SecretStatus::ioError;
    case DirectoryState::usable: break;
  }
  DirectoryLock lock(directory_);
  if (!lock.locked()) return SecretStatus::ioError;
  auto path = itemPath(key);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? SecretStatus::itemNotFound : SecretStatus::ioError;
  }
  if (!S_ISREG(status.st_mode)) return SecretStatus::ioError;
  if (::unlink(path.c_str()) != 0) return SecretStatus::ioError;
  return SecretStatus::success;
}

// ---- MemorySecretStore ----

MemorySecretStore::MemorySecretStore(std::string defaultAccessGroup)
    : defaultAccessGroup_(std::move(defaultAccessGroup)) {}

MemorySecretStore::Identity MemorySecretStore::identityOf(const SecretItemKey& key) const {
  return {key.service, key.account, key.accessGroup.value_or(defaultAccessGroup_)};
}

SecretStatus MemorySecretStore::refusal(Operation operation) const {
  auto it = refusals_.find(operation);
  return it == refusals_.end() ? SecretStatus::success : it->second;
}

void MemorySecretStore::refuse(Operation operation, SecretStatus status) {
  std::lock_guard lock(mutex_);
  if (status == SecretStatus::success) {
    refusals_.erase(operation);
  } else {
    refusals_[operation] = status;
  }
}

SecretLookup MemorySecretStore::copyMatching(const SecretItemKey& key) {
  std::lock_guard lock(mutex_);
  if (auto status = refusal(Operation::copyMatching); status != SecretStatus::success) {
    return {status, {}};
  }
  auto it = items_.find(identityOf(key));
  if (it == items_.end()) return {SecretStatus::itemNotFound, {}};
  return {SecretStatus::success, it->second};
}

SecretStatus MemorySecretStore::update(const SecretItemKey& key, std::string_view data) {
  std::lock_guard lock(mutex_);
  if (auto status = refusal(Operation::update); status != SecretStatus::success) return status;
  auto it = items_.find(identityOf(key));
  if (it == items_.end()) return SecretStatus::itemNotFound;
  it->second.data = data;
  return SecretStatus::success;
}

SecretStatus MemorySecretStore::add(const SecretItemKey& key, std::string_view data,
                                    SecretAccessibility accessibility) {
  std::lock_guard lock(mutex_);
  if (auto status = refusal(Operation::add); status != SecretStatus::success) return status;
  auto [it, added] =
      items_.try_emplace(identityOf(key), SecretItem{std::string(data), accessibility});
  return added ? SecretStatus::success : SecretStatus::duplicateItem;
}

SecretStatus MemorySecretStore::remove(const SecretItemKey& key) {
  std::lock_guard lock(mutex_);
  if (auto status = refusal(Operation::remove); status != SecretStatus::success) return status;
  return items_.erase(identityOf(key)) ? SecretStatus::success : SecretStatus::itemNotFound;
}

}  // namespace platform
