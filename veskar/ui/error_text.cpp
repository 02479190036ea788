#include "veskar/ui/error_text.hpp"

#include "platform/tunnel_host.hpp"
#include "runtime/error.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <QStringList>

namespace veskar::ui {

namespace {

QString describeAPIError(const APIError& error) {
  const char* key = error.localizationKey();
  if (error.which() == APIErrorCase::server) {
    return qtTrId(key).arg(error.status()).arg(QString::fromStdString(error.body()));
  }
  return qtTrId(key);
}

QString describeCurrent() {
  try {
    throw;
  } catch (const APIError& e) {
    return describeAPIError(e);
  } catch (const platform::TunnelProviderError& e) {
    return QString::fromStdString(e.info().message);
  } catch (const runtime::SystemError& e) {
    if (e.code().category() == runtime::EnumErrorCategory<VPNErrorCase>::instance()) {
      return qtTrId(e.code().message().c_str());
    }
    return QString::fromStdString(e.code().message());
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return qtTrId("vpn.connection.failed");
  }
}

std::shared_ptr<const ErrorText> describeNested(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::nested_exception& nested) {
    if (nested.nested_ptr()) {
      return std::make_shared<const ErrorText>(describeError(nested.nested_ptr()));
    }
  } catch (...) {
  }
  return nullptr;
}

bool mentionsPermission(const ErrorText& error) {
  QString text = (error.description + " " + error.failureReason).toLower();
  QStringList markers = {QStringLiteral("permission denied"), QStringLiteral("not authorized"),
                         qtTrId("error.permission.denied_marker").toLower(),
                         qtTrId("error.permission.missing_marker").toLower()};
  for (const QString& marker : markers) {
    if (!marker.isEmpty() && text.contains(marker)) return true;
  }
  return false;
}

}  // namespace

ErrorText describeError(std::exception_ptr error) {
  ErrorText text;
  if (!error) return text;
  try {
    std::rethrow_exception(error);
  } catch (...) {
    text.description = describeCurrent();
  }
  text.underlying = describeNested(error);
  return text;
}

bool requiresPermissionSettings(const ErrorText& error) {
  if (mentionsPermission(error)) return true;
  return error.underlying && mentionsPermission(*error.underlying);
}

}  // namespace veskar::ui
