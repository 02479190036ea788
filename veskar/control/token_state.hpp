#pragma once

// Token pairs with the access token's expiry: the user's (kept by SharedStore)
// and the one issued for the daemon (handed over at tunnel start). JSON keys are
// the field names; the date is seconds since 2001-01-01 00:00:00 UTC.

#include "flowgate/control/stored_token_state.hpp"

namespace veskar {

using TokenState = flowgate::StoredTokenState;
using ExtensionTokenState = flowgate::StoredTokenState;

}  // namespace veskar
