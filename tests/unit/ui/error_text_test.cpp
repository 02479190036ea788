// What the screens say about failures, and which failures lead to the
// permission alert instead of a toast.

#include "veskar/ui/error_text.hpp"

#include "platform/tunnel_host.hpp"
#include "tests/support/qt/qt_test_application.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/translations.hpp"

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>

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

TEST(ErrorText, SentencesThatSayWhatToDoInTheUsersLanguage) {
  struct Case {
    std::exception_ptr error;
    const char* english;
    const char* chinese;
    const char* detail = "";
    bool signingIn = false;
  };
  Case cases[] = {
      {errorOf(APIError::server(401, "{\"error\":\"invalid_login\"}")),
       "The phone number or password is wrong. Check them and try again.",
       "手机号或密码错误，请检查后重试。", "", true},
      // A refused token outside a sign-in: the session is over.
      {errorOf(APIError::server(401, "{}")), "Your session has expired. Please sign in again.",
       "您的登录已过期，请重新登录。"},
      {errorOf(APIError::missingAuthorization()), "Your session has expired. Please sign in again.",
       "您的登录已过期，请重新登录。"},
      {errorOf(APIError::server(502, "<html>")),
       "The server could not complete the request. Try again later.",
       "服务器无法完成请求，请稍后重试。", "HTTP 502"},
      {errorOf(runtime::SystemError(VPNErrorCase::connectionFailed)),
       "The tunnel could not be connected.", "隧道连接失败。"},
      {errorOf(platform::TunnelProviderError({"flowgate.protocol", 3, "Start failed"})),
       "The tunnel could not be connected.", "隧道连接失败。", "Start failed"},
      {systemError(ENOENT),
       "The Veskar service is not running. Start it with \"sudo systemctl start flowgate\" and "
       "try again.",
       "Veskar 服务未运行。请用“sudo systemctl start flowgate”启动后重试。"},
      {systemError(ECONNREFUSED),
       "The Veskar service is not running. Start it with \"sudo systemctl start flowgate\" and "
       "try again.",
       "Veskar 服务未运行。请用“sudo systemctl start flowgate”启动后重试。"},
      {errorOf(runtime::SystemError(platform::TunnelHostError::notResponding)),
       "The Veskar service is not responding. Restart it with \"sudo systemctl restart "
       "flowgate\" and try again.",
       "Veskar 服务没有响应。请用“sudo systemctl restart flowgate”重启后重试。"},
      {systemError(EACCES),
       "You may not control the tunnel: only root and members of the group \"veskar\" may. Add "
       "yourself with \"sudo usermod -aG veskar $USER\", then sign out of the desktop and back "
       "in.",
       "您无权控制隧道：只有 root 和“veskar”组的成员可以。请用“sudo usermod -aG veskar "
       "$USER”把自己加入该组，然后注销桌面并重新登录。"},
      {errorOf(platform::TunnelAccessDenied("vpn-users")),
       "You may not control the tunnel: only root and members of the group \"vpn-users\" may. "
       "Add yourself with \"sudo usermod -aG vpn-users $USER\", then sign out of the desktop "
       "and back in.",
       "您无权控制隧道：只有 root 和“vpn-users”组的成员可以。请用“sudo usermod -aG vpn-users "
       "$USER”把自己加入该组，然后注销桌面并重新登录。"},
      {errorOf(runtime::SystemError(boost::asio::error::host_not_found)),
       "The server cannot be reached. Check your network connection and try again.",
       "无法连接服务器。请检查网络连接后重试。"},
      {systemError(ECONNREFUSED),
       "The server cannot be reached. Check your network connection and try again.",
       "无法连接服务器。请检查网络连接后重试。", "", true},
      {systemError(ENETUNREACH),
       "The server cannot be reached. Check your network connection and try again.",
       "无法连接服务器。请检查网络连接后重试。"},
  };
  for (const char* language : {"en_US", "zh_CN"}) {
    Translations translations(testsupport::testApplication(),
                              QLocale(QString::fromLatin1(language)));
    bool english = QLatin1String(language) == QLatin1String("en_US");
    for (const Case& c : cases) {
      ErrorText text = describeError(c.error, c.signingIn);
      EXPECT_EQ(text.description.toStdString(), english ? c.english : c.chinese);
      EXPECT_EQ(text.failureReason.toStdString(), c.detail);
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
