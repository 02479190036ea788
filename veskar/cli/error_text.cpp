#include "veskar/cli/error_text.hpp"

#include "veskar/control/texts.hpp"
#include "veskar/tunnel/failure.hpp"

namespace veskar::cli {

bool isDaemonUnreachable(std::exception_ptr error) {
  return describeFailure(error).kind == FailureKind::serviceNotRunning;
}

std::string errorText(std::exception_ptr error, bool signingIn) {
  // The window's sentences, so both tell the same story.
  Failure failure = describeFailure(error, signingIn);
  std::string text = localizedFormat(failure.key, {failure.argument});
  if (!failure.detail.empty()) text += "\n" + failure.detail;
  return text;
}

}  // namespace veskar::cli
