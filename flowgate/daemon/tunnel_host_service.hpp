#pragma once

// The tunnel host inside the daemon: the saved configurations, one provider
// at a time, and the connection status its start, reasserting flag and stop
// drive (disconnected -> connecting -> connected <-> reasserting ->
// disconnecting -> disconnected). Every start builds a fresh provider through
// the factory, so a run holds nothing of the one before; what the provider
// holds of the machine (the TUN device) goes with it once it has stopped.
//
// State lives on the service's strand; status observers are told there, in
// order.

#include "flowgate/daemon/configuration_store.hpp"
#include "flowgate/daemon/running_tunnel_file.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "platform/lockdown.hpp"
#include "platform/tunnel_host.hpp"
#include "runtime/async.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace flowgate::daemon {

// The provider of one run, and what ends the run's hold on the machine once
// the provider has stopped (the packet flow's pending read).
struct ProviderRun {
  std::shared_ptr<Flowgate> provider;
  std::function<void()> stopped;
};

// Builds the provider of one run; `reassertingChanged` and `cancelledWithError`
// go into its environment. Throws when the run cannot have one (no TUN
// device): the start then fails with that error.
using ProviderFactory = std::function<ProviderRun(
    const StartOptions& options, std::function<void(bool)> reassertingChanged,
    std::function<void(std::exception_ptr)> cancelledWithError)>;

// Lockdown as the host offers it: the switch, and how a change is kept for
// the daemon's next start. Without a switch, setting it is unknownOperation.
struct LockdownSetting {
  std::shared_ptr<platform::Lockdown> lockdown;
  std::function<void(bool)> persist;
};

class TunnelHostService final : public platform::TunnelHost,
                                public runtime::Serialized,
                                public std::enable_shared_from_this<TunnelHostService> {
 public:
  // Domain of errors that are not system errors (their code is 1, the text
  // what() said).
  static constexpr const char* otherErrorDomain = "flowgate.daemon";

  // Reads the saved configurations now.
  static std::shared_ptr<TunnelHostService> create(runtime::Executor executor,
                                                   std::filesystem::path dataDirectory,
                                                   ProviderFactory makeProvider,
                                                   LockdownSetting lockdown = {});

  runtime::Task<std::vector<platform::TunnelConfiguration>> loadAllFromPreferences() override;
  runtime::Task<platform::TunnelConfiguration> saveToPreferences(
      platform::TunnelConfiguration configuration) override;
  runtime::Task<platform::TunnelConfiguration> loadFromPreferences(std::string identifier) override;
  runtime::Task<void> removeFromPreferences(std::string identifier) override;
  runtime::Task<void> startVPNTunnel(std::string identifier,
                                     platform::TunnelStartOptions options) override;
  // Completes once the provider has stopped (status disconnected).
  runtime::Task<void> stopVPNTunnel(std::string identifier) override;
  runtime::Task<platform::TunnelConnection> connection(std::string identifier) override;
  runtime::Task<std::optional<std::string>> sendProviderMessage(std::string identifier,
                                                                std::string message,
                                                                bool wantsReply) override;
  runtime::Task<bool> lockdown() override;
  // Kept, then applied (off: applied, then kept), so a failure leaves the
  // machine blocked at the next start rather than open.
  runtime::Task<void> setLockdown(bool enabled) override;
  std::uint64_t addStatusObserver(StatusObserver observer) override;
  void removeStatusObserver(std::uint64_t token) override;

  // Stops whatever runs (for the daemon's shutdown).
  runtime::Task<void> stopAll();
  // Starts again the run a killed daemon left (see RunningTunnelFile), if
  // its configuration is still there and enabled. A failure is the
  // configuration's last disconnect error, and the record goes either way.
  runtime::Task<void> resumeInterruptedRun();

  TunnelHostService(runtime::Executor executor, std::filesystem::path dataDirectory,
                    ProviderFactory makeProvider, LockdownSetting lockdown);  // use create()

 private:
  struct Run {
    std::string identifier;
    std::uint64_t number = 0;
    ProviderRun provider;
    bool stopping = false;
  };

  runtime::Task<void> doStart(std::string identifier, platform::TunnelStartOptions options);
  runtime::Task<void> doStop(std::string identifier);
  runtime::Task<void> stopRunning();
  runtime::Task<std::optional<std::string>> doSend(std::string identifier, std::string message,
                                                   bool wantsReply);

  std::vector<platform::TunnelConfiguration>::iterator find(const std::string& identifier);
  void persist(std::vector<platform::TunnelConfiguration> configurations);
  bool isCurrent(std::uint64_t number) const { return run_ && run_->number == number; }
  // Strand callbacks of the provider.
  void started(std::uint64_t number, std::exception_ptr error);
  void reassertingChanged(std::uint64_t number, bool reasserting);
  // The provider has taken the run down by itself.
  void failed(std::uint64_t number, std::exception_ptr error);
  void beginStop(bool announce);
  void stopped(std::uint64_t number);
  // Resumes once the run `number` is over.
  runtime::Task<void> runEnded();
  void setStatus(const std::string& identifier, platform::TunnelStatus status);

  ConfigurationStore store_;
  RunningTunnelFile running_;
  ProviderFactory makeProvider_;
  LockdownSetting lockdown_;
  std::vector<platform::TunnelConfiguration> configurations_;
  std::map<std::string, platform::TunnelConnection> connections_;
  std::optional<Run> run_;
  std::uint64_t runs_ = 0;
  std::vector<std::function<void()>> runEndWaiters_;

  std::mutex observersMutex_;
  std::map<std::uint64_t, StatusObserver> observers_;
  std::uint64_t nextObserver_ = 0;
};

// How an error of a run reads across the socket.
platform::TunnelErrorInfo tunnelErrorInfo(std::exception_ptr error);

}  // namespace flowgate::daemon
