#pragma once

// The daemon's own control-server tokens in the secret store: one item, read
// as a whole record or not at all, written by update-then-add.

#include "flowgate/control/stored_token_state.hpp"
#include "platform/secret_store.hpp"

#include <optional>
#include <string>

namespace flowgate {

// The item's identity; no access group is given, so the store's default group
// (the one shared with the app) applies.
platform::SecretItemKey extensionTokensItem();

// The stored record; nothing when the item is missing, unreadable or does not
// decode as a whole record.
std::optional<StoredTokenState> loadTokens(platform::SecretStore& store);

// Replaces the stored record, creating the item (readable after first unlock,
// this device only) when there is none. A refused update or add throws
// runtime::SystemError carrying the store's status; a refused update adds nothing.
void saveTokens(platform::SecretStore& store, const StoredTokenState& tokens);

// The record's JSON form: the field names as keys, the date as seconds since 2001.
std::string encodeTokens(const StoredTokenState& tokens);
// Throws the JSON parser's or decoder's error.
StoredTokenState decodeTokens(std::string_view bytes);

}  // namespace flowgate
