// What the screens say about failures, and which failures lead to the
// permission alert instead of a toast.

#include "veskar/ui/error_text.hpp"

#include "platform/tunnel_host.hpp"
#include "tests/support/qt/qt_test_application.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/translations.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace veskar::ui {
namespace {

template <class E>
std::exception_ptr errorOf(E error) {
  return std::make_exception_ptr(std::move(error));
}

std::exception_ptr wrapped(std::exception_ptr inner, const char* outer) {
  try {
    std::rethrow_exception(inner);
  } catch (...) {
    try {
      std::throw_with_nested(std::runtime_error(outer));
    } catch (...) {
      return std::current_exception();
    }
  }
  return nullptr;
}

std::exception_ptr systemError(int value) {
  return errorOf(
      runtime::SystemError(runtime::ErrorCode(value, boost::system::generic_category())));
}

TEST(ErrorText, DescriptionsInTheUsersLanguage) {
  struct Case {
    std::exception_ptr error;
    const char* english;
    const char* chinese;
  };
  Case cases[] = {
      {errorOf(APIError::server(401, "wrong password")),
       "The server answered with status 401: wrong password", "服务器返回状态 401：wrong password"},
      {errorOf(APIError::missingAuthorization()), "Your session has expired. Please sign in again.",
       "您的登录已过期，请重新登录。"},
      {errorOf(runtime::SystemError(VPNErrorCase::connectionFailed)),
       "The tunnel could not be connected.", "隧道连接失败。"},
      {errorOf(platform::TunnelProviderError({"flowgate.protocol", 3, "Start failed"})),
       "Start failed", "Start failed"},
      {systemError(ECONNREFUSED), "Connection refused", "Connection refused"},
  };
  for (const char* language : {"en_US", "zh_CN"}) {
    Translations translations(testsupport::testApplication(),
                              QLocale(QString::fromLatin1(language)));
    bool english = QLatin1String(language) == QLatin1String("en_US");
    for (const Case& c : cases) {
      EXPECT_EQ(describeError(c.error).description.toStdString(), english ? c.english : c.chinese);
    }
  }
}

TEST(ErrorText, PermissionAlertFollowsTheMarkersInAnyCaseOrInTheUnderlyingError) {
  Translations translations(testsupport::testApplication(), QLocale(QStringLiteral("en_US")));
  struct Case {
    std::exception_ptr error;
    bool alert;
  };
  Case cases[] = {
      {systemError(EACCES), true},  // the daemon refused: "Permission denied"
      {errorOf(std::runtime_error("PERMISSION DENIED by policy")), true},
      {errorOf(std::runtime_error("Operation not permitted here")), true},
      {wrapped(errorOf(std::runtime_error("Not Authorized")), "start failed"), true},
      {wrapped(errorOf(std::runtime_error("timeout")), "start failed"), false},
      {errorOf(APIError::server(403, "forbidden")), false},
      {errorOf(runtime::SystemError(VPNErrorCase::connectionFailed)), false},
  };
  for (const Case& c : cases) {
    ErrorText text = describeError(c.error);
    EXPECT_EQ(requiresPermissionSettings(text), c.alert) << text.description.toStdString();
  }
}

TEST(ErrorText, TheTranslatedMarkerCountsToo) {
  Translations translations(testsupport::testApplication(), QLocale(QStringLiteral("zh_CN")));
  EXPECT_TRUE(requiresPermissionSettings(
      describeError(errorOf(std::runtime_error("启动失败：权限被拒绝")))));
}

}  // namespace
}  // namespace veskar::ui
