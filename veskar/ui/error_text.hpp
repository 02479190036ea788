#pragma once

// What the screens show for a failure: the error's description in the user's
// language (our errors through their localization keys, platform errors with
// their own text), its failure reason, and the error it wraps
// (std::nested_exception), if any.

#include <QString>

#include <exception>
#include <memory>

namespace veskar::ui {

struct ErrorText {
  QString description;
  QString failureReason;
  std::shared_ptr<const ErrorText> underlying;
};

ErrorText describeError(std::exception_ptr error);

// The daemon or the system refused for lack of permission: the alert that
// leads to the settings is shown instead of a toast.
bool requiresPermissionSettings(const ErrorText& error);

}  // namespace veskar::ui
