#pragma once

// The tunnel provider: start turns the app's start options into a running
// tunnel (tokens stored, trust bundle and GeoIP table fetched, interface
// settings applied, writer, pool and DNS proxy built, packet loop and
// background loops started); stop takes all of it down again, including the
// interface's routes and DNS settings.
//
// Everything outside the process comes in through `Environment`, so the
// provider runs the same on the real platform and on test doubles. The
// provider's fields are guarded by one mutex that is never held across a
// suspension; loops hold the provider weakly and end at stop through their
// cancel tokens.

#include "flowgate/config/records.hpp"
#include "flowgate/provider/packet_writer.hpp"
#include "flowgate/provider/start_options.hpp"
#include "flowgate/routing/dns_proxy.hpp"
#include "flowgate/routing/geoip_store.hpp"
#include "flowgate/routing/name_resolver.hpp"
#include "flowgate/transport/node_session_pool.hpp"
#include "platform/http_client.hpp"
#include "platform/log.hpp"
#include "platform/network_path.hpp"
#include "platform/network_settings.hpp"
#include "platform/packet_flow.hpp"
#include "platform/path_monitor.hpp"
#include "platform/secret_store.hpp"
#include "platform/settings_applier.hpp"
#include "platform/system_resolvers.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/async.hpp"
#include "runtime/bytes.hpp"
#include "runtime/cancel.hpp"
#include "runtime/clock.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace flowgate {

class TrustStore;

class Flowgate : public std::enable_shared_from_this<Flowgate> {
 public:
  // Loop periods; the clock in Environment decides how long they really are.
  static constexpr double pathSettlingDelay = 1;
  static constexpr double sessionCleanupPeriod = 30;
  static constexpr double heartbeatPeriod = 300;
  static constexpr double geoIPPeriod = 86400;

  struct Environment {
    runtime::Executor executor;
    std::shared_ptr<platform::PacketFlow> packetFlow;
    std::shared_ptr<platform::SettingsApplier> settingsApplier;
    std::function<std::shared_ptr<platform::PathMonitor>()> makePathMonitor;
    std::shared_ptr<platform::SystemResolvers> systemResolvers;
    std::shared_ptr<platform::SecretStore> secrets;
    std::shared_ptr<platform::UserDefaults> defaults;
    // A fresh control-plane client for the tunnel of `bootstrap` (each
    // service gets its own).
    std::function<std::shared_ptr<platform::HttpClient>(const ExtensionBootstrap& bootstrap)>
        makeHttpClient;
    std::filesystem::path geoIPDirectory;
    std::shared_ptr<runtime::Clock> clock;  // the system clock when absent
    SessionOptions sessionOptions;          // the routing mark goes here
    DNSProxy::UpstreamQuery dnsUpstream;    // plain UDP to port 53 when empty
    // Told the physical resolvers at each start and network change, before
    // any control request; the hooks of makeHttpClient and sessionOptions
    // should ask it. None: names go to the system's resolver.
    std::shared_ptr<NameResolver> nameResolver;
    // Told whenever the reasserting flag changes.
    std::function<void(bool)> reassertingChanged;
    // Told once the running tunnel has failed (its packet loop ended, its
    // interface could not be set up again) and everything of it is taken down,
    // as after a failed start. Never after stopTunnel.
    std::function<void(std::exception_ptr)> cancelTunnelWithError;
    // Events and errors; none writes nothing.
    std::shared_ptr<platform::Log> log;
  };

  // An error, or nothing when the tunnel runs.
  using StartCompletion = std::function<void(std::exception_ptr)>;
  using MessageCompletion = std::function<void(std::optional<std::string>)>;

  static std::shared_ptr<Flowgate> create(Environment environment);

  // The completion runs exactly once. Errors of the options themselves come
  // before any request leaves the process.
  void startTunnel(std::optional<StartOptions> options, StartCompletion completion);
  // The completion runs once the pool has closed and the interface's settings
  // are gone.
  void stopTunnel(std::function<void()> completion);
  // "high-speed:on|off" or anything else as "node-status"; see app_messages.hpp.
  void handleAppMessage(std::string message, MessageCompletion completion);

  bool reasserting() const { return reasserting_; }

  // For tests: the provider's state at one moment.
  struct Snapshot {
    bool hasPool = false;
    bool hasDNSProxy = false;
    bool hasWriter = false;
    std::unordered_set<std::uint32_t> dnsServerIPv4;
    std::vector<std::string> directCIDRs;
    std::vector<std::string> localResolvers;
    std::size_t runningLoops = 0;
  };
  Snapshot snapshot() const;
  std::shared_ptr<NodeSessionPool> sessionPool() const;

  explicit Flowgate(Environment environment);  // use create()

 private:
  struct Loop {
    runtime::CancelSource cancel;
  };
  struct Started {
    ExtensionBootstrap bootstrap;
    bool highSpeed = true;
    std::uint64_t run = 0;
  };

  Started acceptOptions(const std::optional<StartOptions>& options);
  static runtime::Task<void> startAsync(std::weak_ptr<Flowgate> weak, Started started,
                                        StartCompletion completion);
  runtime::Task<void> runStart(Started started);
  static runtime::Task<void> reapplyFor(std::weak_ptr<Flowgate> weak, ExtensionBootstrap next);
  runtime::Task<void> configurationHandler(ExtensionBootstrap bootstrap);
  // Applies settings unless stop has taken them away; a late application
  // after stop is taken away again.
  runtime::Task<void> applySettings(platform::NetworkSettings settings);
  void setReasserting(bool value);
  bool isCurrent(std::uint64_t run) const;
  // Stops what runs; with `onlyRun`, only while that run is current and not
  // stopping (otherwise nothing happens and `completion` never runs).
  void takeDown(std::optional<std::uint64_t> onlyRun, std::function<void()> completion);
  // Takes run `run` down and then reports `error` through the environment.
  void failTunnel(std::uint64_t run, std::exception_ptr error);

  // Packet loop (packet_loop.cpp).
  void startPacketLoop(std::shared_ptr<NodeSessionPool> pool, std::uint64_t run);
  static runtime::Task<void> packetLoop(std::weak_ptr<Flowgate> weak,
                                        std::shared_ptr<NodeSessionPool> pool,
                                        std::shared_ptr<platform::PacketFlow> flow,
                                        runtime::CancelToken token);

  // Background loops (background_loops.cpp).
  void startPathMonitor(std::shared_ptr<NodeSessionPool> pool, std::uint64_t run);
  // Our own link came back up: its routes went with it while it was down.
  static runtime::Task<void> reapplyAfterLinkUp(std::weak_ptr<Flowgate> weak,
                                                std::shared_ptr<NodeSessionPool> pool,
                                                std::uint64_t run);
  void pathUpdated(const platform::NetworkPath& path, std::shared_ptr<NodeSessionPool> pool);
  static runtime::Task<void> pathChangeReaction(std::weak_ptr<Flowgate> weak,
                                                std::shared_ptr<NodeSessionPool> pool,
                                                runtime::CancelToken token);
  void startSessionCleanupLoop(std::shared_ptr<NodeSessionPool> pool);
  void startHeartbeatLoop(std::shared_ptr<TrustStore> trustStore, std::string controlURL,
                          std::shared_ptr<NodeSessionPool> pool);
  void startGeoIPLoop(std::shared_ptr<NodeSessionPool> pool, std::shared_ptr<GeoIPStore> store,
                      std::string controlURL);
  std::shared_ptr<Loop> newLoop(std::shared_ptr<Loop> Flowgate::*slot);

  Environment env_;
  std::shared_ptr<runtime::Clock> clock_;
  std::shared_ptr<platform::Log> log_;
  std::atomic<bool> reasserting_ = false;

  mutable std::mutex mutex_;
  std::uint64_t run_ = 0;  // bumped by every start and stop
  bool settingsClosed_ = false;
  std::shared_ptr<NodeSessionPool> sessionPool_;
  std::shared_ptr<Loop> packetTask_;
  std::shared_ptr<Loop> heartbeatTask_;
  std::shared_ptr<Loop> geoIPTask_;
  std::shared_ptr<Loop> sessionCleanupTask_;
  std::shared_ptr<Loop> pathChangeTask_;
  std::shared_ptr<platform::PathMonitor> pathMonitor_;
  std::shared_ptr<DNSProxy> dnsProxy_;  // owns the tunnel's DNS server set
  std::shared_ptr<PacketWriter> packetWriter_;
  std::vector<std::string> directCIDRs_;
  std::vector<std::string> localResolvers_;
};

}  // namespace flowgate
