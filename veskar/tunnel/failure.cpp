#include "veskar/tunnel/failure.hpp"

#include "platform/tunnel_host.hpp"
#include "runtime/error.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/errc.hpp>

namespace veskar {

namespace {

namespace errc = boost::system::errc;

Failure fromAPI(const APIError& error, bool signingIn) {
  switch (error.which()) {
    case APIErrorCase::server:
      if (error.status() == 401 && signingIn) {
        return {FailureKind::wrongPassword, "error.login.wrong_password", {}};
      }
      if (error.status() == 401) return {FailureKind::sessionExpired, "error.session.expired", {}};
      return {FailureKind::server, "error.server.failed", "HTTP " + std::to_string(error.status())};
    case APIErrorCase::missingAuthorization:
      return {FailureKind::sessionExpired, "error.session.expired", {}};
    case APIErrorCase::invalidResponse:
      return {FailureKind::server, "error.server.invalid_response", {}};
    case APIErrorCase::noAvailableNodes:
      return {FailureKind::server, "vpn.nodes.none_available", {}};
  }
  return {FailureKind::server, "error.server.invalid_response", {}};
}

bool isNetworkError(const runtime::ErrorCode& code) {
  namespace error = boost::asio::error;
  return code.category() == error::get_netdb_category() ||
         code.category() == error::get_addrinfo_category() || code == errc::network_unreachable ||
         code == errc::network_down || code == errc::host_unreachable || code == errc::timed_out ||
         code == errc::connection_reset;
}

Failure fromSystem(const runtime::SystemError& error, bool signingIn) {
  auto code = error.code();
  // A sign-in asks only the server, which may refuse the connection.
  if (signingIn && code == errc::connection_refused) {
    return {FailureKind::noNetwork, "error.network.unavailable", {}};
  }
  // The daemon's socket is missing (never started) or nobody listens (killed).
  if (code == errc::no_such_file_or_directory || code == errc::connection_refused ||
      code == platform::TunnelHostError::connectionLost) {
    return {FailureKind::serviceNotRunning, "error.service.not_running", {}};
  }
  if (code == platform::TunnelHostError::notResponding) {
    return {FailureKind::serviceNotResponding, "error.service.not_responding", {}};
  }
  if (code == errc::permission_denied || code == errc::operation_not_permitted) {
    // The host's own word when it gave one, else the group it is installed with.
    const auto* denied = dynamic_cast<const platform::TunnelAccessDenied*>(&error);
    return {FailureKind::permissionDenied,
            "error.service.permission_denied",
            {},
            denied ? denied->group() : "veskar"};
  }
  if (code == platform::TunnelHostError::configurationTooLarge ||
      code == platform::TunnelHostError::tooManyConfigurations) {
    return {FailureKind::other, "vpn.configuration.save_failed", code.message()};
  }
  if (isNetworkError(code)) return {FailureKind::noNetwork, "error.network.unavailable", {}};
  // Our own errors' messages are localization keys.
  if (code.category() == make_error_code(VPNErrorCase::saveFailed).category()) {
    return {FailureKind::other, code.message(), {}};
  }
  return {FailureKind::other, "vpn.connection.failed", code.message()};
}

}  // namespace

Failure describeFailure(std::exception_ptr error, bool signingIn) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const APIError& e) {
    return fromAPI(e, signingIn);
  } catch (const platform::TunnelProviderError& e) {
    return {FailureKind::other, "vpn.connection.failed", e.info().message};
  } catch (const runtime::SystemError& e) {
    return fromSystem(e, signingIn);
  } catch (const std::exception& e) {
    return {FailureKind::other, "vpn.connection.failed", e.what()};
  } catch (...) {
  }
  return {FailureKind::other, "vpn.connection.failed", {}};
}

}  // namespace veskar
