#include "flowgate/control/token_store.hpp"

#include "runtime/json_codec.hpp"

namespace flowgate {

platform::SecretItemKey extensionTokensItem() {
  return {std::string(platform::kBundlePrefix) + ".macos.extension.tokens", "packet-tunnel",
          std::nullopt};
}

std::string encodeTokens(const StoredTokenState& tokens) {
  return runtime::json::encodeText(tokens);
}

StoredTokenState decodeTokens(std::string_view bytes) {
  return runtime::json::decodeText<StoredTokenState>(bytes);
}

std::optional<StoredTokenState> loadTokens(platform::SecretStore& store) {
  auto lookup = store.copyMatching(extensionTokensItem());
  if (lookup.status != platform::SecretStatus::success || !lookup.item) return std::nullopt;
  try {
    return decodeTokens(lookup.item->data);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void saveTokens(platform::SecretStore& store, const StoredTokenState& tokens) {
  auto bytes = encodeTokens(tokens);
  auto key = extensionTokensItem();
  auto status = store.update(key, bytes);
  if (status == platform::SecretStatus::itemNotFound) {
    status = store.add(key, bytes, platform::SecretAccessibility::afterFirstUnlockThisDeviceOnly);
  }
  if (status != platform::SecretStatus::success) runtime::fail(status);
}

}  // namespace flowgate
