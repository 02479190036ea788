#pragma once

// Access and refresh tokens. A sign-in issues a user pair; an extension session
// issues a separate pair bound to one device key. Refreshing spends the refresh
// token (it never works again) and issues a new pair of the same kind; the old
// access token keeps working until its own expiry, so requests already in
// flight during a refresh do not fail.

#include "runtime/clock.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace testbed {

struct TokenOwner {
  std::string publicId;
  // Set for an extension pair: the device key it was issued for.
  std::optional<std::string> deviceKey;

  bool isExtension() const { return deviceKey.has_value(); }
};

struct TokenPair {
  std::string accessToken;
  std::int64_t expiresIn = 0;
  std::string refreshToken;
};

struct TokenLifetimes {
  std::int64_t accessSeconds = 900;
  std::int64_t refreshSeconds = 30 * 86400;
};

class TokenBook {
 public:
  TokenBook(const runtime::Clock& clock, TokenLifetimes lifetimes);

  TokenPair issue(TokenOwner owner);
  // The owner of a valid access token. Throws ApiError 401: "token_expired" for
  // an expired token, "invalid_token" for any other.
  const TokenOwner& authenticate(std::string_view accessToken) const;
  // Throws ApiError 401 "invalid_refresh_token" for an unknown, spent or
  // expired refresh token.
  TokenPair refresh(std::string_view refreshToken);

  // Makes an access or refresh token expired now; false when it is unknown.
  bool expire(std::string_view token);

 private:
  struct Entry {
    TokenOwner owner;
    runtime::Date expiresAt;
  };

  void forgetLongExpired();

  const runtime::Clock& clock_;
  TokenLifetimes lifetimes_;
  std::unordered_map<std::string, Entry> access_;
  std::unordered_map<std::string, Entry> refresh_;
  std::size_t issuedSinceSweep_ = 0;
};

// 32 random bytes in base64url: tokens and other unguessable names.
std::string randomToken();

}  // namespace testbed
