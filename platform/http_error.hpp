#pragma once

// Requests the HTTPS client refuses before anything is sent. Failures on the
// wire keep their own codes (Asio, OpenSSL, Beast).

#include "runtime/error.hpp"

namespace platform {

enum class HttpError {
  // Not an https URL with a host.
  unsupportedURL = 1,
  // A header name or value that would break the request's framing.
  invalidHeader,
};

inline runtime::ErrorCode make_error_code(HttpError e) { return runtime::makeErrorCode(e); }

}  // namespace platform

template <>
struct runtime::ErrorTraits<platform::HttpError> {
  static constexpr const char* name = "platform.http";
  static std::string_view description(platform::HttpError e) {
    using enum platform::HttpError;
    switch (e) {
      case unsupportedURL: return "Unsupported URL";
      case invalidHeader: return "Invalid header field";
    }
    return "Unknown HTTP error";
  }
};

VESKAR_ERROR_CODE_ENUM(platform::HttpError);
