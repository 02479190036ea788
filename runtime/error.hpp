#pragma once

// Typed error enumerations as error codes. Each subsystem's enumeration gets a
// category whose messages are the enumeration's own descriptions, so our errors
// and platform (Asio, OpenSSL, JSON) errors travel the same way and compare with ==.

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <string>
#include <string_view>

namespace runtime {

using ErrorCode = boost::system::error_code;
using SystemError = boost::system::system_error;

// Specialise for each enumeration: `static constexpr const char* name` and
// `static std::string_view description(E)`. Enumerators start at 1: 0 means success.
template <class E>
struct ErrorTraits;

template <class E>
class EnumErrorCategory final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return ErrorTraits<E>::name; }
  std::string message(int value) const override {
    return std::string(ErrorTraits<E>::description(static_cast<E>(value)));
  }
  static const EnumErrorCategory& instance() {
    static const EnumErrorCategory category;
    return category;
  }
};

template <class E>
ErrorCode makeErrorCode(E e) {
  return ErrorCode(static_cast<int>(e), EnumErrorCategory<E>::instance());
}

template <class E>
[[noreturn]] void fail(E e) {
  throw SystemError(makeErrorCode(e));
}

}  // namespace runtime

// Declares E (fully qualified) an error-code enumeration; use at global scope. The
// enumeration's namespace also declares
//   inline runtime::ErrorCode make_error_code(E e) { return runtime::makeErrorCode(e); }
#define VESKAR_ERROR_CODE_ENUM(E) \
  template <>                     \
  struct boost::system::is_error_code_enum<E> : std::true_type {}
