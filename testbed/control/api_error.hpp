#pragma once

// A refusal of a request: the HTTP status and the code the body carries as
// {"code": ...}. Handlers throw it; the server turns it into the answer.

#include <stdexcept>
#include <string>

namespace testbed {

class ApiError : public std::runtime_error {
 public:
  ApiError(unsigned status, std::string code)
      : std::runtime_error(code), status_(status), code_(std::move(code)) {}

  unsigned status() const { return status_; }
  const std::string& code() const { return code_; }

  static ApiError badRequest(std::string code) { return {400, std::move(code)}; }
  static ApiError unauthorized(std::string code) { return {401, std::move(code)}; }

 private:
  unsigned status_;
  std::string code_;
};

}  // namespace testbed
