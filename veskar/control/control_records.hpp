#pragma once

// The control server's requests and replies as the application sees them.
// Replies arrive with snake_case keys and are matched to these camelCase
// fields; every field is required. The refresh, extension-session and
// authorization exchanges share the daemon's records.

#include "flowgate/control/authorization_messages.hpp"
#include "veskar/control/tunnel_records.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace veskar {

struct LoginResponse {
  struct User {
    std::string publicId;
    std::string phone;

    friend bool operator==(const User&, const User&) = default;
    template <class Self, class Field>
    static void describe(Self& self, Field&& field) {
      field("publicId", self.publicId);
      field("phone", self.phone);
    }
  };

  std::string accessToken;
  std::int64_t expiresIn = 0;  // seconds of validity from now
  std::string refreshToken;
  User user;

  friend bool operator==(const LoginResponse&, const LoginResponse&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessToken", self.accessToken);
    field("expiresIn", self.expiresIn);
    field("refreshToken", self.refreshToken);
    field("user", self.user);
  }
};

// Reply of /v1/auth/refresh and of /v1/auth/extension-session.
using RefreshResponse = flowgate::RefreshResult;
using AuthorizeResponse = flowgate::AuthorizationResult;

struct AccountResponse {
  std::int64_t remainingBytes = 0;
  std::int64_t rechargeBaselineBytes = 0;

  friend bool operator==(const AccountResponse&, const AccountResponse&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("remainingBytes", self.remainingBytes);
    field("rechargeBaselineBytes", self.rechargeBaselineBytes);
  }
};

struct LoginRequest {
  std::string method = "password";
  std::string phone;
  std::string password;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("method", self.method);
    field("phone", self.phone);
    field("password", self.password);
  }
};

using RefreshRequest = flowgate::RefreshRequest;

struct ExtensionSessionRequest {
  std::string deviceKey;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceKey", self.deviceKey);
  }
};

}  // namespace veskar
