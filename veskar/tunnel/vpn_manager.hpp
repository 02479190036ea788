#pragma once

// The application's handle on the tunnel: installs or repairs the saved tunnel
// configuration that points at the provider, starts the tunnel with a freshly
// prepared bootstrap and token pair, stops it, follows the connection status,
// forwards the high-speed switch, and while the node list is on screen polls
// the provider for its paths and probes each first hop.
//
// Lives on the application's main executor: its state is touched only there,
// its loops and observers hold it weakly.

#include "platform/tunnel_host.hpp"
#include "runtime/async.hpp"
#include "runtime/cancel.hpp"
#include "runtime/clock.hpp"
#include "runtime/error.hpp"
#include "runtime/shared_task.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/control/observers.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veskar {

struct VPNNodeInfo {
  std::string id;       // the path key
  std::string name;     // the display name
  std::string latency;  // "12 ms", "1.0 s" or "--"
  friend bool operator==(const VPNNodeInfo&, const VPNNodeInfo&) = default;
};

// Errors of domain "VeskarVPN"; the user sees the localization key's text.
enum class VPNErrorCase {
  connectionFailed = 1,  // "vpn.connection.failed"
  saveFailed = 2,        // "vpn.configuration.save_failed"
};
inline runtime::ErrorCode make_error_code(VPNErrorCase e) { return runtime::makeErrorCode(e); }

class VPNManager final : public std::enable_shared_from_this<VPNManager> {
 public:
  static constexpr double statusPollingInterval = 3;
  static constexpr double connectTimeout = 20;
  static constexpr std::chrono::milliseconds probeTimeout{1000};

  // The provider's bundle identifier: "<bundle prefix>.macos.Flowgate".
  static std::string providerBundleID();

  // How a first hop is measured (NodeProbe::measure by default; tests swap it).
  using Probe = std::function<runtime::Task<std::optional<std::int64_t>>(
      std::string host, std::string port, std::chrono::milliseconds timeout)>;

  struct Options {
    std::string serverAddress;              // the control server's host name
    std::shared_ptr<runtime::Clock> clock;  // null: the system clock
    Probe probe;                            // empty: NodeProbe::measure
    // Where "highSpeedEnabled" is read at each start; empty: the user defaults
    // of the login manager's store.
    std::function<std::optional<bool>()> readHighSpeed;
  };

  static std::shared_ptr<VPNManager> create(const runtime::Executor& mainExecutor,
                                            std::shared_ptr<platform::TunnelHost> host,
                                            Options options);
  ~VPNManager();

  // Published state; read on the main executor.
  bool isConnected() const { return isConnected_; }
  // Reasserting: not connected, but the tunnel comes back by itself.
  bool isReconnecting() const { return isReconnecting_; }
  // Starting: down, but not for long either way.
  bool isConnecting() const { return isConnecting_; }
  // False from the loss of the daemon until it answers again: nothing is
  // connected meanwhile.
  bool isServiceReachable() const { return isServiceReachable_; }
  const std::vector<VPNNodeInfo>& nodeInfos() const { return nodeInfos_; }
  Observers& observers() { return observers_; }
  // The loaded or created configuration; none until initialize or connect.
  const std::optional<platform::TunnelConfiguration>& manager() const { return manager_; }
  // The daemon itself, for its own settings (lockdown); set at creation.
  const std::shared_ptr<platform::TunnelHost>& host() const { return host_; }

  runtime::Task<void> initialize(std::shared_ptr<LoginManager> loginManager);
  // True when the tunnel reached connected within 20 s; errors are thrown.
  runtime::Task<bool> connect(std::shared_ptr<LoginManager> loginManager);
  runtime::Task<void> disconnect();
  void setHighSpeedEnabled(bool enabled);
  // The same message, awaited (a short-lived caller must not leave before it
  // went out); false when there was no running tunnel to tell or sending failed.
  runtime::Task<bool> sendHighSpeedEnabled(bool enabled);
  void setNodeInfoVisible(bool visible);
  // One node-status refresh now, outside the polling loop (a command-line
  // caller that shows the list once); nodeInfos holds the outcome.
  runtime::Task<void> refreshNodeStatus();

 private:
  VPNManager(const runtime::Executor& mainExecutor, std::shared_ptr<platform::TunnelHost> host,
             Options options);

  runtime::Task<void> initializeOnStrand();
  runtime::Task<bool> connectOnStrand(std::shared_ptr<LoginManager> loginManager);
  runtime::Task<void> disconnectOnStrand();
  runtime::Task<bool> sendHighSpeedOnStrand(bool enabled);
  runtime::Task<platform::TunnelConfiguration> loadManager();
  runtime::Task<platform::TunnelConfiguration> ensureManager();
  runtime::Task<bool> waitUntilConnected(double timeout);
  runtime::Task<void> refresh(runtime::CancelToken token);
  runtime::Task<std::optional<std::string>> latencyOf(std::string firstHopAddress);
  void statusChanged(const platform::TunnelStatusChange& change);
  void apply(platform::TunnelStatus status);
  void reachabilityChanged(bool reachable);
  void startPolling();
  void stopPolling();
  static runtime::Task<void> pollingLoop(std::weak_ptr<VPNManager> self,
                                         std::shared_ptr<runtime::Clock> clock,
                                         runtime::CancelToken token);

  // A strand of the main executor: every member below is touched only there.
  runtime::Executor executor_;
  std::shared_ptr<platform::TunnelHost> host_;
  Options options_;
  std::optional<platform::TunnelConfiguration> manager_;
  std::optional<std::uint64_t> statusObserver_;
  std::optional<std::uint64_t> reachabilityObserver_;
  runtime::TaskHandle statusPollingTask_;
  bool isConnected_ = false;
  bool isReconnecting_ = false;
  bool isConnecting_ = false;
  bool isServiceReachable_ = true;
  std::vector<VPNNodeInfo> nodeInfos_;
  bool nodeInfoVisible_ = false;
  bool refreshInProgress_ = false;
  Observers observers_;
};

}  // namespace veskar

template <>
struct runtime::ErrorTraits<veskar::VPNErrorCase> {
  static constexpr const char* name = "VeskarVPN";
  static std::string_view description(veskar::VPNErrorCase e) {
    switch (e) {
      case veskar::VPNErrorCase::connectionFailed: return "vpn.connection.failed";
      case veskar::VPNErrorCase::saveFailed: return "vpn.configuration.save_failed";
    }
    return "VeskarVPN";
  }
};

VESKAR_ERROR_CODE_ENUM(veskar::VPNErrorCase);
