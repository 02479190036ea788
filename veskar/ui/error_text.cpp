#include "veskar/ui/error_text.hpp"

#include <QStringList>

namespace veskar::ui {

namespace {

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

QString ErrorText::shown() const {
  return failureReason.isEmpty() ? description : description + QLatin1Char('\n') + failureReason;
}

ErrorText describeError(std::exception_ptr error, bool signingIn) {
  ErrorText text;
  if (!error) return text;
  Failure failure = describeFailure(error, signingIn);
  text.kind = failure.kind;
  text.description = qtTrId(failure.key.c_str());
  if (!failure.argument.empty())
    text.description = text.description.arg(QString::fromStdString(failure.argument));
  text.failureReason = QString::fromStdString(failure.detail);
  text.underlying = describeNested(error);
  return text;
}

bool requiresPermissionSettings(const ErrorText& error) {
  if (error.kind == FailureKind::permissionDenied || mentionsPermission(error)) return true;
  return error.underlying && mentionsPermission(*error.underlying);
}

}  // namespace veskar::ui
