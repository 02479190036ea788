#pragma once

// Failures of the authorization service's own making. They travel as
// runtime::SystemError like every other error (compare code() with the case);
// `server` also carries the HTTP status and the server's error code, which
// callers reach by catching AuthorizationError.

#include "runtime/error.hpp"

#include <string>
#include <utility>

namespace flowgate {

enum class AuthorizationErrorCase {
  // The server answered with a status outside 200 to 299.
  server = 1,
  // No token record could be loaded.
  missingRefreshToken,
  // The control URL did not parse, or an authorization came back without nodes.
  invalidResponse,
};

inline runtime::ErrorCode make_error_code(AuthorizationErrorCase e) {
  return runtime::makeErrorCode(e);
}

class AuthorizationError : public runtime::SystemError {
 public:
  static AuthorizationError server(unsigned status, std::string code) {
    return AuthorizationError(AuthorizationErrorCase::server, status, std::move(code));
  }
  static AuthorizationError missingRefreshToken() {
    return AuthorizationError(AuthorizationErrorCase::missingRefreshToken, 0, {});
  }
  static AuthorizationError invalidResponse() {
    return AuthorizationError(AuthorizationErrorCase::invalidResponse, 0, {});
  }

  AuthorizationErrorCase which() const {
    return static_cast<AuthorizationErrorCase>(code().value());
  }
  // The HTTP status of a `server` failure; 0 otherwise.
  unsigned status() const { return status_; }
  // The server's error code of a `server` failure ("unknown" when its body had
  // none); empty otherwise.
  const std::string& serverCode() const { return serverCode_; }

 private:
  AuthorizationError(AuthorizationErrorCase which, unsigned status, std::string code)
      : runtime::SystemError(make_error_code(which)),
        status_(status),
        serverCode_(std::move(code)) {}

  unsigned status_;
  std::string serverCode_;
};

}  // namespace flowgate

template <>
struct runtime::ErrorTraits<flowgate::AuthorizationErrorCase> {
  static constexpr const char* name = "flowgate.authorization";
  static std::string_view description(flowgate::AuthorizationErrorCase e) {
    using enum flowgate::AuthorizationErrorCase;
    switch (e) {
      case server: return "server";
      case missingRefreshToken: return "missingRefreshToken";
      case invalidResponse: return "invalidResponse";
    }
    return "authorization";
  }
};

VESKAR_ERROR_CODE_ENUM(flowgate::AuthorizationErrorCase);
