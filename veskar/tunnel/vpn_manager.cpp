#include "veskar/tunnel/vpn_manager.hpp"

#include "platform/secret_store.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"
#include "runtime/text.hpp"
#include "veskar/control/control_client.hpp"
#include "veskar/tunnel/node_probe.hpp"
#include "veskar/tunnel/provider_status.hpp"

#include <boost/asio/post.hpp>

#include <exception>
#include <map>

namespace veskar {

namespace {

using platform::TunnelStatus;

constexpr const char* kNodeStatusMessage = "node-status";
constexpr double kStatusCheckInterval = 0.2;
// A status that has left connecting this long after the start is the start's outcome.
constexpr double kEarlyEnd = 1;

// Clears the flag on every way out of a refresh.
class InProgress {
 public:
  explicit InProgress(bool& flag) : flag_(flag) { flag_ = true; }
  ~InProgress() { flag_ = false; }
  InProgress(const InProgress&) = delete;
  InProgress& operator=(const InProgress&) = delete;

 private:
  bool& flag_;
};

}  // namespace

std::string VPNManager::providerBundleID() {
  return std::string(platform::kBundlePrefix) + ".macos.Flowgate";
}

std::shared_ptr<VPNManager> VPNManager::create(const runtime::Executor& mainExecutor,
                                               std::shared_ptr<platform::TunnelHost> host,
                                               Options options) {
  std::shared_ptr<VPNManager> manager(new VPNManager(mainExecutor, host, std::move(options)));
  std::weak_ptr<VPNManager> weak = manager;
  auto strand = manager->executor_;
  manager->statusObserver_ =
      host->addStatusObserver([weak, strand](const platform::TunnelStatusChange& change) {
        boost::asio::post(strand, [weak, change] {
          if (auto self = weak.lock()) self->statusChanged(change);
        });
      });
  manager->reachabilityObserver_ = host->addReachabilityObserver([weak, strand](bool reachable) {
    boost::asio::post(strand, [weak, reachable] {
      if (auto self = weak.lock()) self->reachabilityChanged(reachable);
    });
  });
  return manager;
}

VPNManager::VPNManager(const runtime::Executor& mainExecutor,
                       std::shared_ptr<platform::TunnelHost> host, Options options)
    : executor_(boost::asio::make_strand(mainExecutor)),
      host_(std::move(host)),
      options_(std::move(options)) {
  if (!options_.clock) options_.clock = std::make_shared<runtime::SystemClock>();
  if (!options_.probe) {
    options_.probe = [mainExecutor](std::string probeHost, std::string port,
                                    std::chrono::milliseconds timeout) {
      return NodeProbe::measure(mainExecutor, std::move(probeHost), std::move(port), timeout);
    };
  }
  if (options_.serverAddress.empty()) {
    options_.serverAddress = std::string(defaultBaseURL().host());
  }
}

VPNManager::~VPNManager() {
  statusPollingTask_.cancel();
  if (statusObserver_) host_->removeStatusObserver(*statusObserver_);
  if (reachabilityObserver_) host_->removeReachabilityObserver(*reachabilityObserver_);
}

// ---- status ----

void VPNManager::statusChanged(const platform::TunnelStatusChange& change) {
  if (!manager_ || manager_->identifier.empty() || change.identifier != manager_->identifier) {
    return;
  }
  apply(change.status);
  observers_.notify();
}

void VPNManager::apply(TunnelStatus status) {
  isReconnecting_ = status == TunnelStatus::reasserting;
  isConnecting_ = status == TunnelStatus::connecting;
  isConnected_ = status == TunnelStatus::connected;
  if (status != TunnelStatus::connected) {
    stopPolling();
    nodeInfos_.clear();
  } else if (nodeInfoVisible_) {
    startPolling();
  }
}

void VPNManager::reachabilityChanged(bool reachable) {
  if (reachable) {
    // Events were missed while away: read everything again.
    runtime::spawn(executor_, [](std::weak_ptr<VPNManager> weak) -> runtime::Task<void> {
      if (auto self = weak.lock()) co_await self->initializeOnStrand();
    }(weak_from_this()));
    return;
  }
  isServiceReachable_ = false;
  apply(TunnelStatus::invalid);
  observers_.notify();
}

// ---- configuration ----

runtime::Task<platform::TunnelConfiguration> VPNManager::loadManager() {
  auto all = co_await host_->loadAllFromPreferences();
  for (auto& configuration : all) {
    if (configuration.providerBundleIdentifier == providerBundleID()) co_return configuration;
  }
  co_return platform::TunnelConfiguration{};
}

runtime::Task<void> VPNManager::initialize(std::shared_ptr<LoginManager>) {
  return runtime::runOn<void>(executor_, initializeOnStrand());
}

runtime::Task<void> VPNManager::initializeOnStrand() {
  auto status = TunnelStatus::invalid;
  try {
    auto loaded = co_await loadManager();
    manager_ = loaded;
    isServiceReachable_ = true;
    if (!loaded.identifier.empty()) {
      status = (co_await host_->connection(loaded.identifier)).status;
    }
  } catch (const std::exception&) {
    // Nothing is known about the tunnel: shown as not connected.
  }
  apply(status);
  observers_.notify();
}

runtime::Task<platform::TunnelConfiguration> VPNManager::ensureManager() {
  auto configuration = co_await loadManager();
  configuration.providerBundleIdentifier = providerBundleID();
  configuration.serverAddress = options_.serverAddress;
  configuration.providerConfiguration = boost::json::object{{"protocolVersion", 3}};
  configuration.localizedDescription = "Veskar";
  configuration.enabled = true;
  auto saved = co_await host_->saveToPreferences(std::move(configuration));
  auto reloaded = co_await host_->loadFromPreferences(saved.identifier);
  if (!reloaded.enabled || reloaded.providerBundleIdentifier != providerBundleID()) {
    runtime::fail(VPNErrorCase::saveFailed);
  }
  co_return reloaded;
}

// ---- connect and disconnect ----

runtime::Task<bool> VPNManager::connect(std::shared_ptr<LoginManager> loginManager) {
  return runtime::runOn<bool>(executor_, connectOnStrand(std::move(loginManager)));
}

runtime::Task<bool> VPNManager::connectOnStrand(std::shared_ptr<LoginManager> loginManager) {
  auto prepared = co_await loginManager->prepareTunnel();
  nodeInfos_.clear();
  observers_.notify();
  manager_ = co_await ensureManager();

  platform::TunnelStartOptions startOptions;
  startOptions["bootstrap"] =
      platform::TunnelOptionData{runtime::json::encodeText(prepared.bootstrap)};
  startOptions["extension_tokens"] =
      platform::TunnelOptionData{runtime::json::encodeText(prepared.extensionTokens)};
  bool highSpeed = options_.readHighSpeed ? options_.readHighSpeed().value_or(true)
                                          : loginManager->store().highSpeedEnabled();
  startOptions["high_speed_enabled"] = highSpeed ? 1.0 : 0.0;

  auto identifier = manager_->identifier;
  co_await host_->startVPNTunnel(identifier, std::move(startOptions));
  bool ok = co_await waitUntilConnected(connectTimeout);
  if (ok && nodeInfoVisible_) startPolling();
  co_return ok;
}

runtime::Task<bool> VPNManager::waitUntilConnected(double timeout) {
  auto identifier = manager_->identifier;
  auto clock = options_.clock;
  double began = clock->uptime();
  double deadline = began + timeout;
  while (clock->uptime() < deadline) {
    auto status = (co_await host_->connection(identifier)).status;
    if (status == TunnelStatus::connected) {
      apply(status);
      observers_.notify();
      co_return true;
    }
    bool down = status == TunnelStatus::invalid || status == TunnelStatus::disconnected ||
                status == TunnelStatus::disconnecting;
    if (down && clock->uptime() - began > kEarlyEnd) {
      auto again = (co_await host_->connection(identifier)).status;
      if (again == TunnelStatus::connected) {
        // Connected between the two reads: that is success, not a failed start.
        apply(again);
        observers_.notify();
        co_return true;
      }
      if (again != TunnelStatus::connecting && again != TunnelStatus::reasserting) {
        co_return false;
      }
    }
    co_await clock->sleep(kStatusCheckInterval, runtime::CancelToken{});
  }
  co_return (co_await host_->connection(identifier)).status == TunnelStatus::connected;
}

runtime::Task<void> VPNManager::disconnect() {
  return runtime::runOn<void>(executor_, disconnectOnStrand());
}

runtime::Task<void> VPNManager::disconnectOnStrand() {
  if (manager_ && !manager_->identifier.empty()) {
    try {
      co_await host_->stopVPNTunnel(manager_->identifier);
    } catch (const std::exception&) {
      // Disconnecting reports no failure; the status notifications tell the truth.
    }
  }
  apply(TunnelStatus::disconnected);
  observers_.notify();
}

// ---- high speed ----

void VPNManager::setHighSpeedEnabled(bool enabled) {
  runtime::spawn(executor_, [](std::weak_ptr<VPNManager> weak, bool on) -> runtime::Task<void> {
    if (auto self = weak.lock()) co_await self->sendHighSpeedOnStrand(on);
  }(weak_from_this(), enabled));
}

runtime::Task<bool> VPNManager::sendHighSpeedEnabled(bool enabled) {
  return runtime::runOn<bool>(executor_, sendHighSpeedOnStrand(enabled));
}

runtime::Task<bool> VPNManager::sendHighSpeedOnStrand(bool enabled) {
  if (!manager_ || manager_->identifier.empty()) co_return false;
  try {
    co_await host_->sendProviderMessage(manager_->identifier,
                                        enabled ? "high-speed:on" : "high-speed:off", false);
  } catch (const std::exception&) {
    // The setting is stored by the caller and goes with the next start.
    co_return false;
  }
  co_return true;
}

// ---- node list ----

void VPNManager::setNodeInfoVisible(bool visible) {
  nodeInfoVisible_ = visible;
  if (visible && isConnected_) {
    startPolling();
    return;
  }
  stopPolling();
  nodeInfos_.clear();
  observers_.notify();
}

void VPNManager::startPolling() {
  if (statusPollingTask_) return;
  std::weak_ptr<VPNManager> self = weak_from_this();
  auto clock = options_.clock;
  auto strand = executor_;
  statusPollingTask_ =
      runtime::TaskHandle::start(executor_, [self, clock, strand](runtime::CancelToken token) {
        return runtime::runOn<void>(strand, pollingLoop(self, clock, token));
      });
}

void VPNManager::stopPolling() {
  statusPollingTask_.cancel();
  statusPollingTask_ = {};
}

runtime::Task<void> VPNManager::pollingLoop(std::weak_ptr<VPNManager> self,
                                            std::shared_ptr<runtime::Clock> clock,
                                            runtime::CancelToken token) {
  while (!token.isCancelled()) {
    {
      auto manager = self.lock();
      if (!manager) co_return;
      co_await manager->refresh(token);
    }
    co_await clock->sleep(statusPollingInterval, token);
  }
}

runtime::Task<void> VPNManager::refreshNodeStatus() {
  return runtime::runOn<void>(executor_, refresh(runtime::CancelToken{}));
}

runtime::Task<void> VPNManager::refresh(runtime::CancelToken token) {
  if (refreshInProgress_) co_return;
  InProgress guard(refreshInProgress_);
  if (!manager_ || manager_->identifier.empty()) co_return;
  // A list from before the tunnel went down is not shown as current.
  if (!isConnected_) co_return;

  std::optional<std::string> reply;
  try {
    reply = co_await host_->sendProviderMessage(manager_->identifier, kNodeStatusMessage, true);
  } catch (const std::exception&) {
    co_return;  // the next period asks again
  }
  if (!reply || reply->empty()) co_return;
  ProviderStatusSnapshot snapshot;
  try {
    snapshot = decodeProviderStatus(*reply);
  } catch (const std::exception&) {
    co_return;
  }

  std::map<std::string, std::string> previous;
  for (const auto& row : nodeInfos_) previous.emplace(row.id, row.latency);
  std::vector<VPNNodeInfo> rows;
  for (const auto& status : snapshot.nodes) {
    if (token.isCancelled()) break;
    auto latency = co_await latencyOf(status.firstHopAddress);
    if (!latency) {
      auto found = previous.find(status.pathKey);
      latency = found == previous.end() ? "--" : found->second;
    }
    rows.push_back({status.pathKey, status.displayName, std::move(*latency)});
  }
  if (token.isCancelled() || !isConnected_) co_return;
  nodeInfos_ = std::move(rows);
  observers_.notify();
}

runtime::Task<std::optional<std::string>> VPNManager::latencyOf(std::string firstHopAddress) {
  auto hop = splitFirstHop(firstHopAddress);
  if (!hop || !runtime::parseDecimal(hop->second, 65535)) co_return std::nullopt;
  auto measuring = options_.probe(hop->first, hop->second, probeTimeout);
  auto milliseconds = co_await std::move(measuring);
  if (!milliseconds) co_return std::nullopt;
  co_return NodeProbe::latencyText(*milliseconds);
}

}  // namespace veskar
