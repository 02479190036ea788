#pragma once

// What a failure means to the person who met it, the same in the window and
// on the command line: the key of a sentence that says what happened and what
// to do, and a detail line (a server's status, a platform's own text) that is
// shown beneath it untranslated.

#include <exception>
#include <string>

namespace veskar {

enum class FailureKind {
  serviceNotRunning,
  serviceNotResponding,
  permissionDenied,
  wrongPassword,
  noNetwork,
  sessionExpired,  // the sign-in is gone: the sign-in screen follows
  server,
  other,
};

struct Failure {
  FailureKind kind = FailureKind::other;
  std::string key;            // a localization key
  std::string detail;         // empty when the sentence says it all
  std::string argument = {};  // fills the sentence's %1 when not empty
};

// `signingIn`: the failure answered a sign-in, where a refusal means the
// phone number or password is wrong rather than an expired session, and no
// daemon was asked.
Failure describeFailure(std::exception_ptr error, bool signingIn = false);

}  // namespace veskar
