#pragma once

// The node transport's error, also used for start failures, forced-region
// submission and DNS timeouts. Its descriptions are shown to the user.

#include "runtime/error.hpp"

namespace flowgate {

enum class ProtocolError {
  invalidAddress = 1,
  invalidFrame,
  frameTooLarge,
  connectionClosed,
  connectionTimedOut,
  authenticationFailed,
};

inline runtime::ErrorCode make_error_code(ProtocolError e) { return runtime::makeErrorCode(e); }

}  // namespace flowgate

template <>
struct runtime::ErrorTraits<flowgate::ProtocolError> {
  static constexpr const char* name = "flowgate.protocol";
  static std::string_view description(flowgate::ProtocolError e) {
    using enum flowgate::ProtocolError;
    switch (e) {
      case invalidAddress: return "Invalid node address";
      case invalidFrame: return "Invalid frame";
      case frameTooLarge: return "Frame too large";
      case connectionClosed: return "Node connection closed";
      case connectionTimedOut: return "Node connection timed out";
      case authenticationFailed: return "Node authentication failed";
    }
    return "Unknown protocol error";
  }
};

VESKAR_ERROR_CODE_ENUM(flowgate::ProtocolError);
