#include "platform/keyring/keyring_secret_store.hpp"
#include "platform/session_bus.hpp"

#include <libsecret/secret.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace platform {

namespace {

constexpr const char* kServiceAttribute = "service";
constexpr const char* kAccountAttribute = "account";
constexpr const char* kGroupAttribute = "access-group";
constexpr const char* kAccessibilityAttribute = "accessibility";

const SecretSchema kSchema = {
    "net.veskar.SecretItem",
    SECRET_SCHEMA_NONE,
    {
        {kServiceAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
        {kAccountAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
        {kGroupAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
        {kAccessibilityAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Releases what GLib and libsecret hand over, each kind its own way.
struct Release {
  void operator()(GError* error) const { g_error_free(error); }
  void operator()(SecretValue* value) const { secret_value_unref(value); }
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
  template <class T>
  void operator()(T* object) const {
    g_object_unref(object);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, Release>;
template <class T>
using GObjectPtr = GPtr<T>;
using ErrorPtr = GPtr<GError>;
using ValuePtr = GPtr<SecretValue>;
using TablePtr = GPtr<GHashTable>;

// A cancellable that cancels itself once `wait` has passed, unless the call
// it guards finished first.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds wait)
      : cancellable_(g_cancellable_new()), timer_([this, wait] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, wait, [this] { return finished_; })) {
            g_cancellable_cancel(cancellable_.get());
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    timer_.join();
  }
  GCancellable* get() { return cancellable_.get(); }

 private:
  GObjectPtr<GCancellable> cancellable_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread timer_;
};

}  // namespace

struct KeyringSecretStore::Service {
  GObjectPtr<SecretService> service;

  // Attributes naming the item of `key`; the table borrows the strings.
  struct Attributes {
    explicit Attributes(std::string accessGroup, std::string accessibilityName = {})
        : group(std::move(accessGroup)), accessibility(std::move(accessibilityName)) {}
    std::string group;
    std::string accessibility;
    TablePtr table{g_hash_table_new(g_str_hash, g_str_equal)};
  };
  static void fill(Attributes& attributes, const SecretItemKey& key) {
    auto* table = attributes.table.get();
    g_hash_table_insert(table, const_cast<char*>(kServiceAttribute),
                        const_cast<char*>(key.service.c_str()));
    g_hash_table_insert(table, const_cast<char*>(kAccountAttribute),
                        const_cast<char*>(key.account.c_str()));
    g_hash_table_insert(table, const_cast<char*>(kGroupAttribute),
                        const_cast<char*>(attributes.group.c_str()));
  }

  // The keyring's items of `key` (the first one answers); nothing on failure.
  std::optional<std::vector<GObjectPtr<::SecretItem>>> search(const SecretItemKey& key,
                                                              const std::string& group,
                                                              bool loadSecrets,
                                                              std::chrono::milliseconds wait) {
    Attributes attributes(group);
    fill(attributes, key);
    Deadline deadline(wait);
    GError* raw = nullptr;
    auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL |
                                                (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0));
    GList* found = secret_service_search_sync(service.get(), &kSchema, attributes.table.get(),
                                              flags, deadline.get(), &raw);
    ErrorPtr error(raw);
    if (error) return std::nullopt;
    std::vector<GObjectPtr<::SecretItem>> items;
    for (GList* entry = found; entry; entry = entry->next) {
      items.emplace_back(static_cast<::SecretItem*>(entry->data));
    }
    g_list_free(found);
    return items;
  }
};

std::shared_ptr<KeyringSecretStore> KeyringSecretStore::connect(std::string defaultAccessGroup,
                                                                std::chrono::milliseconds wait) {
  if (!sessionBusNamed()) return nullptr;
  Deadline deadline(wait);
  GError* raw = nullptr;
  // The bus this process shares with every other user of it; a bus that goes
  // away must not end the process.
  GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.get(), &raw));
  ErrorPtr busError(raw);
  if (!bus) return nullptr;
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);

  auto service = std::make_unique<Service>();
  service->service.reset(secret_service_open_sync(
      SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, deadline.get(), &raw));
  ErrorPtr openError(raw);
  if (!service->service) return nullptr;
  GObjectPtr<SecretCollection> collection(
      secret_collection_for_alias_sync(service->service.get(), SECRET_COLLECTION_DEFAULT,
                                       SECRET_COLLECTION_NONE, deadline.get(), &raw));
  ErrorPtr collectionError(raw);
  if (!collection || secret_collection_get_locked(collection.get())) return nullptr;
  return std::make_shared<KeyringSecretStore>(std::move(service), std::move(defaultAccessGroup),
                                              wait);
}

KeyringSecretStore::KeyringSecretStore(std::unique_ptr<Service> service,
                                       std::string defaultAccessGroup,
                                       std::chrono::milliseconds wait)
    : service_(std::move(service)),
      defaultAccessGroup_(std::move(defaultAccessGroup)),
      wait_(wait) {}

KeyringSecretStore::~KeyringSecretStore() = default;

SecretLookup KeyringSecretStore::copyMatching(const SecretItemKey& key) {
  auto items = service_->search(key, key.accessGroup.value_or(defaultAccessGroup_), true, wait_);
  if (!items) return {SecretStatus::ioError, std::nullopt};
  if (items->empty()) return {SecretStatus::itemNotFound, std::nullopt};
  ::SecretItem* item = items->front().get();
  // A locked item comes without its secret: it cannot be read now.
  ValuePtr value(secret_item_get_secret(item));
  if (!value) return {SecretStatus::ioError, std::nullopt};
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  TablePtr attributes(secret_item_get_attributes(item));
  auto* name =
      static_cast<const char*>(g_hash_table_lookup(attributes.get(), kAccessibilityAttribute));
  auto accessibility = accessibilityNamed(name ? name : "");
  if (!accessibility) return {SecretStatus::decodeFailed, std::nullopt};
  return {SecretStatus::success, SecretItem{std::string(bytes, length), *accessibility}};
}

SecretStatus KeyringSecretStore::update(const SecretItemKey& key, std::string_view data) {
  auto items = service_->search(key, key.accessGroup.value_or(defaultAccessGroup_), false, wait_);
  if (!items) return SecretStatus::ioError;
  if (items->empty()) return SecretStatus::itemNotFound;
  ValuePtr value(
      secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
  Deadline deadline(wait_);
  GError* raw = nullptr;
  bool stored =
      secret_item_set_secret_sync(items->front().get(), value.get(), deadline.get(), &raw);
  ErrorPtr error(raw);
  return stored ? SecretStatus::success : SecretStatus::ioError;
}

SecretStatus KeyringSecretStore::add(const SecretItemKey& key, std::string_view data,
                                     SecretAccessibility accessibility) {
  auto group = key.accessGroup.value_or(defaultAccessGroup_);
  auto items = service_->search(key, group, false, wait_);
  if (!items) return SecretStatus::ioError;
  if (!items->empty()) return SecretStatus::duplicateItem;
  Service::Attributes attributes(group, std::string(accessibilityName(accessibility)));
  Service::fill(attributes, key);
  g_hash_table_insert(attributes.table.get(), const_cast<char*>(kAccessibilityAttribute),
                      const_cast<char*>(attributes.accessibility.c_str()));
  ValuePtr value(
      secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
  auto label = "Veskar " + key.account + " (" + key.service + ")";
  Deadline deadline(wait_);
  GError* raw = nullptr;
  bool stored = secret_service_store_sync(service_->service.get(), &kSchema, attributes.table.get(),
                                          SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                          deadline.get(), &raw);
  ErrorPtr error(raw);
  return stored ? SecretStatus::success : SecretStatus::ioError;
}

SecretStatus KeyringSecretStore::remove(const SecretItemKey& key) {
  Service::Attributes attributes(key.accessGroup.value_or(defaultAccessGroup_));
  Service::fill(attributes, key);
  Deadline deadline(wait_);
  GError* raw = nullptr;
  bool removed = secret_service_clear_sync(service_->service.get(), &kSchema,
                                           attributes.table.get(), deadline.get(), &raw);
  ErrorPtr error(raw);
  if (error) return SecretStatus::ioError;
  return removed ? SecretStatus::success : SecretStatus::itemNotFound;
}

bool moveSecretItems(SecretStore& from, SecretStore& to, const std::vector<SecretItemKey>& keys) {
  for (const auto& key : keys) {
    auto found = from.copyMatching(key);
    if (found.status == SecretStatus::itemNotFound) continue;
    if (found.status != SecretStatus::success) return false;
    // The file holds an item only when the keyring could not be used as it
    // was written: it is the newer of the two.
    const auto& item = *found.item;
    auto status = to.update(key, item.data);
    if (status == SecretStatus::itemNotFound) status = to.add(key, item.data, item.accessibility);
    if (status != SecretStatus::success) return false;
    auto copied = to.copyMatching(key);
    if (copied.status != SecretStatus::success || copied.item->data != item.data) return false;
    // Another process may have moved it a moment ago.
    status = from.remove(key);
    if (status != SecretStatus::success && status != SecretStatus::itemNotFound) return false;
  }
  return true;
}

std::shared_ptr<SecretStore> userSecretStore(const std::filesystem::path& directory,
                                             std::string defaultAccessGroup,
                                             const std::vector<SecretItemKey>& keys,
                                             std::chrono::milliseconds wait) {
  auto file = std::make_shared<FileSecretStore>(directory, defaultAccessGroup);
  auto keyring = KeyringSecretStore::connect(std::move(defaultAccessGroup), wait);
  if (!keyring || !moveSecretItems(*file, *keyring, keys)) return file;
  return keyring;
}

}  // namespace platform
