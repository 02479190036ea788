#pragma once

// The bodies the control server reads and writes, as records with the field
// names of their snake_case wire keys.

#include <cstdint>
#include <string>
#include <vector>

namespace testbed {

struct LoginRequest {
  std::string method;
  std::string phone;
  std::string password;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("method", self.method);
    field("phone", self.phone);
    field("password", self.password);
  }
};

struct RefreshRequest {
  std::string refreshToken;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("refreshToken", self.refreshToken);
  }
};

struct ExtensionSessionRequest {
  std::string deviceKey;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceKey", self.deviceKey);
  }
};

struct AuthorizeRequest {
  std::string deviceKey;
  std::string platform;
  std::string deviceName;
  std::vector<std::string> localRoutes;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceKey", self.deviceKey);
    field("platform", self.platform);
    field("deviceName", self.deviceName);
    field("localRoutes", self.localRoutes);
  }
};

struct HeartbeatRequest {
  std::string deviceCredential;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceCredential", self.deviceCredential);
  }
};

struct TokenAnswer {
  std::string accessToken;
  std::int64_t expiresIn = 0;
  std::string refreshToken;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessToken", self.accessToken);
    field("expiresIn", self.expiresIn);
    field("refreshToken", self.refreshToken);
  }
};

struct LoginUser {
  std::string publicId;
  std::string phone;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("publicId", self.publicId);
    field("phone", self.phone);
  }
};

struct LoginAnswer {
  std::string accessToken;
  std::int64_t expiresIn = 0;
  std::string refreshToken;
  LoginUser user;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessToken", self.accessToken);
    field("expiresIn", self.expiresIn);
    field("refreshToken", self.refreshToken);
    field("user", self.user);
  }
};

struct AccountAnswer {
  std::int64_t remainingBytes = 0;
  std::int64_t rechargeBaselineBytes = 0;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("remainingBytes", self.remainingBytes);
    field("rechargeBaselineBytes", self.rechargeBaselineBytes);
  }
};

// The authorization answer without its config, which is added separately.
struct AuthorizationHead {
  std::uint64_t deviceId = 0;
  std::string deviceCredential;
  std::string credentialExpiresAt;
  std::string vpnIpv4;
  std::string leaseExpiresAt;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceId", self.deviceId);
    field("deviceCredential", self.deviceCredential);
    field("credentialExpiresAt", self.credentialExpiresAt);
    field("vpnIpv4", self.vpnIpv4);
    field("leaseExpiresAt", self.leaseExpiresAt);
  }
};

struct HeartbeatAnswer {
  std::string status;
  std::string vpnIpv4;
  std::string leaseExpiresAt;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("status", self.status);
    field("vpnIpv4", self.vpnIpv4);
    field("leaseExpiresAt", self.leaseExpiresAt);
  }
};

}  // namespace testbed
