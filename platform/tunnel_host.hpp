#pragma once

// The app's handle on the tunnel host (the flowgate daemon): saved tunnel
// configurations, start and stop of the provider, the connection status with
// its change notifications, and messages to the running provider.
//
// The operations complete on the caller's executor. Errors are thrown as
// runtime::SystemError: the platform's own (connecting to the socket, or EACCES
// "Permission denied" when the daemon refuses the caller) pass through
// unchanged, the host's are TunnelHostError, and an error the provider reported
// keeps its domain, code and text (TunnelProviderError).

#include "runtime/async.hpp"
#include "runtime/error.hpp"

#include <boost/json/object.hpp>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

enum class TunnelStatus {
  invalid,
  disconnected,
  connecting,
  connected,
  reasserting,
  disconnecting
};

// "invalid", "disconnected", "connecting", "connected", "reasserting", "disconnecting".
std::string_view tunnelStatusName(TunnelStatus status);
std::optional<TunnelStatus> tunnelStatusFromName(std::string_view name);

// A saved tunnel configuration.
struct TunnelConfiguration {
  // Given by the host at the first save; empty for a configuration never saved.
  std::string identifier;
  std::string providerBundleIdentifier;
  std::string serverAddress;
  boost::json::object providerConfiguration;
  std::string localizedDescription;
  bool enabled = false;

  friend bool operator==(const TunnelConfiguration&, const TunnelConfiguration&) = default;
};

// Start option values as the provider reads them: data, text, or a number
// (booleans travel as numbers).
struct TunnelOptionData {
  std::string bytes;
  friend bool operator==(const TunnelOptionData&, const TunnelOptionData&) = default;
};
using TunnelStartOption = std::variant<TunnelOptionData, std::string, double>;
using TunnelStartOptions = std::map<std::string, TunnelStartOption>;

// An error as it crossed the socket: the domain is the error category's name.
struct TunnelErrorInfo {
  std::string domain;
  int code = 0;
  std::string message;
  friend bool operator==(const TunnelErrorInfo&, const TunnelErrorInfo&) = default;
};

struct TunnelConnection {
  TunnelStatus status = TunnelStatus::invalid;
  // Why the last run of this configuration ended, when a start failed or the
  // provider stopped with an error.
  std::optional<TunnelErrorInfo> lastDisconnectError;
  friend bool operator==(const TunnelConnection&, const TunnelConnection&) = default;
};

struct TunnelStatusChange {
  std::string identifier;  // the configuration whose connection changed
  TunnelStatus status = TunnelStatus::invalid;
  friend bool operator==(const TunnelStatusChange&, const TunnelStatusChange&) = default;
};

enum class TunnelHostError {
  notFound = 1,      // no saved configuration with that identifier
  alreadyRunning,    // a start while a tunnel is connecting, connected or reasserting
  notRunning,        // a provider message while no tunnel of that configuration runs
  invalidRequest,    // a request the host could not read (bad JSON, missing fields)
  unknownOperation,  // an operation the host does not offer
  messageTooLarge,   // a frame longer than the limit
  disabled,          // a start of a configuration that is not enabled
  connectionLost,    // the socket closed before the reply came
  notResponding,     // no reply within the call's deadline
  // A saved configuration's encoded size is over the host's bound.
  configurationTooLarge,
  // A new configuration while the host holds as many as it keeps.
  tooManyConfigurations,
  // The caller (or everyone) holds as many connections as the host serves.
  tooManyConnections,
};

// An error the provider (not the host) reported, e.g. the last disconnect error
// rethrown to a caller. what() is the provider's text.
class TunnelProviderError : public std::runtime_error {
 public:
  explicit TunnelProviderError(TunnelErrorInfo info)
      : std::runtime_error(info.message), info_(std::move(info)) {}
  const TunnelErrorInfo& info() const { return info_; }

 private:
  TunnelErrorInfo info_;
};

// EACCES from the host (or its socket), naming the group whose members it
// serves, so the person refused is told the group the host really uses.
class TunnelAccessDenied : public runtime::SystemError {
 public:
  explicit TunnelAccessDenied(std::string group)
      : runtime::SystemError(runtime::ErrorCode(EACCES, boost::system::system_category())),
        group_(std::move(group)) {}
  const std::string& group() const { return group_; }

 private:
  std::string group_;
};

class TunnelHost {
 public:
  using StatusObserver = std::function<void(const TunnelStatusChange&)>;
  // False when the host went away (every status is unknown), true when it
  // answers again (statuses changed meanwhile without events: read them again).
  using ReachabilityObserver = std::function<void(bool reachable)>;

  virtual ~TunnelHost() = default;

  virtual runtime::Task<std::vector<TunnelConfiguration>> loadAllFromPreferences() = 0;
  // Saves (adds when the identifier is empty, else replaces) and returns the
  // configuration as stored, its identifier set.
  virtual runtime::Task<TunnelConfiguration> saveToPreferences(
      TunnelConfiguration configuration) = 0;
  // The stored configuration again (TunnelHostError::notFound when removed).
  virtual runtime::Task<TunnelConfiguration> loadFromPreferences(std::string identifier) = 0;
  virtual runtime::Task<void> removeFromPreferences(std::string identifier) = 0;

  // Completes once the host accepted the start (status connecting); the outcome
  // arrives as status changes.
  virtual runtime::Task<void> startVPNTunnel(std::string identifier,
                                             TunnelStartOptions options) = 0;
  virtual runtime::Task<void> stopVPNTunnel(std::string identifier) = 0;
  virtual runtime::Task<TunnelConnection> connection(std::string identifier) = 0;
  // The provider's reply; nothing when it gave none or `wantsReply` is false.
  virtual runtime::Task<std::optional<std::string>> sendProviderMessage(std::string identifier,
                                                                        std::string message,
                                                                        bool wantsReply) = 0;

  // Lockdown: while on, traffic leaving outside the tunnel is blocked, also
  // while no tunnel runs and after the host's death. Setting it keeps the
  // choice for the host's next start and applies it at once.
  virtual runtime::Task<bool> lockdown() = 0;
  virtual runtime::Task<void> setLockdown(bool enabled) = 0;

  // Status changes of every configuration, in order, on the host object's
  // executor. Returns a token for removeStatusObserver.
  virtual std::uint64_t addStatusObserver(StatusObserver observer) = 0;
  virtual void removeStatusObserver(std::uint64_t token) = 0;

  // On the same executor and in order with the status changes. A host in the
  // caller's own process never goes away: the defaults report nothing.
  virtual std::uint64_t addReachabilityObserver(ReachabilityObserver) { return 0; }
  virtual void removeReachabilityObserver(std::uint64_t) {}
};

}  // namespace platform

template <>
struct runtime::ErrorTraits<platform::TunnelHostError> {
  static constexpr const char* name = "flowgate.tunnel-host";
  static std::string_view description(platform::TunnelHostError e) {
    switch (e) {
      case platform::TunnelHostError::notFound: return "No such tunnel configuration";
      case platform::TunnelHostError::alreadyRunning: return "The tunnel is already running";
      case platform::TunnelHostError::notRunning: return "The tunnel is not running";
      case platform::TunnelHostError::invalidRequest: return "Invalid request";
      case platform::TunnelHostError::unknownOperation: return "Unknown operation";
      case platform::TunnelHostError::messageTooLarge: return "Message too large";
      case platform::TunnelHostError::disabled: return "The tunnel configuration is disabled";
      case platform::TunnelHostError::connectionLost: return "Connection to the tunnel daemon lost";
      case platform::TunnelHostError::notResponding: return "The tunnel daemon is not responding";
      case platform::TunnelHostError::configurationTooLarge:
        return "The tunnel configuration is too large";
      case platform::TunnelHostError::tooManyConfigurations:
        return "Too many saved tunnel configurations";
      case platform::TunnelHostError::tooManyConnections:
        return "Too many connections to the tunnel daemon";
    }
    return "Unknown tunnel host error";
  }
};

namespace platform {
inline runtime::ErrorCode make_error_code(TunnelHostError e) { return runtime::makeErrorCode(e); }
}  // namespace platform
VESKAR_ERROR_CODE_ENUM(platform::TunnelHostError);
