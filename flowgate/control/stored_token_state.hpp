#pragma once

// The daemon's own control-server token pair, as handed over at tunnel start and
// kept in its secret store. JSON keys are the field names; the date is seconds
// since 2001-01-01 00:00:00 UTC.

#include "runtime/date.hpp"

#include <string>

namespace flowgate {

struct StoredTokenState {
  std::string accessToken;
  std::string refreshToken;
  runtime::Date accessExpiresAt;

  friend bool operator==(const StoredTokenState&, const StoredTokenState&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessToken", self.accessToken);
    field("refreshToken", self.refreshToken);
    field("accessExpiresAt", self.accessExpiresAt);
  }
};

}  // namespace flowgate
