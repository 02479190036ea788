#pragma once

// What the screens show for a failure: a sentence in the user's language that
// says what happened and what to do, the detail beneath it (a server's status,
// a platform's own text), and the error it wraps (std::nested_exception).

#include "veskar/tunnel/failure.hpp"

#include <QString>

#include <exception>
#include <memory>

namespace veskar::ui {

struct ErrorText {
  FailureKind kind = FailureKind::other;
  QString description;
  QString failureReason;  // the detail line, untranslated; may be empty
  std::shared_ptr<const ErrorText> underlying;

  // The sentence with its detail line beneath.
  QString shown() const;
};

// `signingIn`: the failure answered a sign-in (a refusal means a wrong password).
ErrorText describeError(std::exception_ptr error, bool signingIn = false);

// The daemon or the system refused for lack of permission: the alert that
// leads to the settings is shown instead of a toast.
bool requiresPermissionSettings(const ErrorText& error);

}  // namespace veskar::ui
