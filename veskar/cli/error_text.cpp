#include "veskar/cli/error_text.hpp"

#include "platform/tunnel_host.hpp"
#include "runtime/error.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/control/texts.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <boost/system/errc.hpp>

namespace veskar::cli {

namespace {

namespace errc = boost::system::errc;

template <class Handler>
auto inspect(std::exception_ptr error, Handler handler) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return handler(&e);
  } catch (...) {
    return handler(nullptr);
  }
}

}  // namespace

bool isDaemonUnreachable(std::exception_ptr error) {
  return inspect(error, [](const std::exception* e) {
    const auto* system = dynamic_cast<const runtime::SystemError*>(e);
    if (!system || dynamic_cast<const APIError*>(e)) return false;
    auto code = system->code();
    return code == errc::no_such_file_or_directory || code == errc::connection_refused ||
           code == platform::TunnelHostError::connectionLost;
  });
}

std::string errorText(std::exception_ptr error) {
  if (isDaemonUnreachable(error)) return localized("cli.daemon.not_running");
  return inspect(error, [](const std::exception* e) -> std::string {
    if (!e) return localized("common.unknown");
    if (const auto* api = dynamic_cast<const APIError*>(e)) return api->localizedDescription();
    if (const auto* system = dynamic_cast<const runtime::SystemError*>(e)) {
      auto code = system->code();
      if (code == errc::permission_denied) return localized("cli.daemon.permission_denied");
      // Our own errors' messages are localization keys.
      if (code.category() == make_error_code(VPNErrorCase::saveFailed).category()) {
        return localized(code.message());
      }
      return code.message();
    }
    return e->what();
  });
}

}  // namespace veskar::cli
