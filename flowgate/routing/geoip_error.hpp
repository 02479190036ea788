#pragma once

// Failures of the GeoIP table file and its download. The cases carry no text of
// their own; their descriptions are the case names.

#include "runtime/error.hpp"

namespace flowgate {

enum class GeoIPError {
  unavailable = 1,
  invalidFormat,
  checksumMismatch,
};

inline runtime::ErrorCode make_error_code(GeoIPError e) { return runtime::makeErrorCode(e); }

}  // namespace flowgate

template <>
struct runtime::ErrorTraits<flowgate::GeoIPError> {
  static constexpr const char* name = "flowgate.geoip";
  static std::string_view description(flowgate::GeoIPError e) {
    using enum flowgate::GeoIPError;
    switch (e) {
      case unavailable: return "unavailable";
      case invalidFormat: return "invalidFormat";
      case checksumMismatch: return "checksumMismatch";
    }
    return "unknown GeoIP error";
  }
};

VESKAR_ERROR_CODE_ENUM(flowgate::GeoIPError);
