#pragma once

// The JSON of the control server's refresh, authorize and heartbeat endpoints.
// On the wire every key is snake_case; the records use the camelCase names.
// Every field of a response is required.

#include "flowgate/config/coding.hpp"
#include "flowgate/config/records.hpp"
#include "runtime/json_codec.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

struct RefreshRequest {
  std::string refreshToken;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("refreshToken", self.refreshToken);
  }
};

struct RefreshResult {
  std::string accessToken;
  std::int64_t expiresIn = 0;  // seconds the new access token is valid
  std::string refreshToken;

  friend bool operator==(const RefreshResult&, const RefreshResult&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessToken", self.accessToken);
    field("expiresIn", self.expiresIn);
    field("refreshToken", self.refreshToken);
  }
};

struct AuthorizationRequest {
  static constexpr const char* platformName = "macos";
  static constexpr const char* tunnelDeviceName = "macOS Packet Tunnel";

  std::string deviceKey;
  std::string platform = platformName;
  std::string deviceName = tunnelDeviceName;
  std::vector<std::string> localRoutes;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceKey", self.deviceKey);
    field("platform", self.platform);
    field("deviceName", self.deviceName);
    field("localRoutes", self.localRoutes);
  }
};

struct AuthorizationResult {
  std::uint64_t deviceId = 0;
  std::string deviceCredential;
  std::string credentialExpiresAt;
  std::string vpnIpv4;
  std::string leaseExpiresAt;
  ExtensionConfig config;

  friend bool operator==(const AuthorizationResult&, const AuthorizationResult&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceId", self.deviceId);
    field("deviceCredential", self.deviceCredential);
    field("credentialExpiresAt", self.credentialExpiresAt);
    field("vpnIpv4", self.vpnIpv4);
    field("leaseExpiresAt", self.leaseExpiresAt);
    field("config", self.config);
  }
};

struct HeartbeatRequest {
  std::string deviceCredential;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceCredential", self.deviceCredential);
  }
};

struct HeartbeatResult {
  std::string status;
  std::string vpnIpv4;
  std::string leaseExpiresAt;

  friend bool operator==(const HeartbeatResult&, const HeartbeatResult&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("status", self.status);
    field("vpnIpv4", self.vpnIpv4);
    field("leaseExpiresAt", self.leaseExpiresAt);
  }
};

// The body of every answer with a status outside 200 to 299.
struct ServerError {
  std::string code;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("code", self.code);
  }
};

// A request body with its keys in snake_case.
template <class Request>
std::string encodeRequestBody(const Request& request) {
  return boost::json::serialize(runtime::withSnakeCaseKeys(runtime::json::encode(request)));
}

// A success body; throws the parser's or the decoder's error.
template <class Response>
Response decodeResponse(std::string_view body) {
  return runtime::json::decodeText<Response>(body, controlServerForm);
}

// The code of an error body, or "unknown" when the body is no ServerError.
inline std::string serverErrorCode(std::string_view body) {
  try {
    return decodeResponse<ServerError>(body).code;
  } catch (const std::exception&) {
    return "unknown";
  }
}

}  // namespace flowgate
