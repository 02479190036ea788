#pragma once

// Failures of the application's control client. They travel as
// runtime::SystemError like every other error (compare code() with the case);
// `server` also carries the HTTP status and the reply body, which callers reach
// by catching APIError. What the user sees is the case's localization key,
// resolved by texts.hpp.

#include "runtime/error.hpp"

#include <string>
#include <utility>

namespace veskar {

enum class APIErrorCase {
  // The server answered with a status outside 200 to 299.
  server = 1,
  // The reply was not an HTTP response.
  invalidResponse,
  // No stored user tokens when a token was needed.
  missingAuthorization,
  // The authorization listed no nodes.
  noAvailableNodes,
};

inline runtime::ErrorCode make_error_code(APIErrorCase e) { return runtime::makeErrorCode(e); }

class APIError : public runtime::SystemError {
 public:
  static APIError server(unsigned status, std::string body) {
    return APIError(APIErrorCase::server, status, std::move(body));
  }
  static APIError invalidResponse() { return APIError(APIErrorCase::invalidResponse, 0, {}); }
  static APIError missingAuthorization() {
    return APIError(APIErrorCase::missingAuthorization, 0, {});
  }
  static APIError noAvailableNodes() { return APIError(APIErrorCase::noAvailableNodes, 0, {}); }

  APIErrorCase which() const { return static_cast<APIErrorCase>(code().value()); }
  // The HTTP status of a `server` failure; 0 otherwise.
  unsigned status() const { return status_; }
  // The reply body of a `server` failure as UTF-8 text ("" when it was not UTF-8).
  const std::string& body() const { return body_; }

  // "error.server.format", "error.server.invalid_response", "error.session.expired"
  // or "vpn.nodes.none_available".
  const char* localizationKey() const;
  // The user-facing text (see texts.hpp).
  std::string localizedDescription() const;

 private:
  APIError(APIErrorCase which, unsigned status, std::string body)
      : runtime::SystemError(make_error_code(which)), status_(status), body_(std::move(body)) {}

  unsigned status_;
  std::string body_;
};

}  // namespace veskar

template <>
struct runtime::ErrorTraits<veskar::APIErrorCase> {
  static constexpr const char* name = "veskar.api";
  static std::string_view description(veskar::APIErrorCase e) {
    using enum veskar::APIErrorCase;
    switch (e) {
      case server: return "server";
      case invalidResponse: return "invalidResponse";
      case missingAuthorization: return "missingAuthorization";
      case noAvailableNodes: return "noAvailableNodes";
    }
    return "api";
  }
};

VESKAR_ERROR_CODE_ENUM(veskar::APIErrorCase);
