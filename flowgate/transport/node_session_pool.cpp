#include "flowgate/transport/node_session_pool.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "runtime/spawn.hpp"

#include <algorithm>
#include <type_traits>

namespace flowgate {

using runtime::Task;

namespace {

// Keeps the pool alive while one of its member coroutines runs.
template <class T>
Task<T> retained([[maybe_unused]] std::shared_ptr<NodeSessionPool> pool, Task<T> op) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(op);
  } else {
    co_return co_await std::move(op);
  }
}

// A path as the log names it: its node IDs, never an address or a name.
std::string pathLabel(const SessionPath& path) {
  std::string label = "nodes ";
  for (const auto& node : path.nodes) {
    if (&node != &path.nodes.front()) label += '>';
    label += std::to_string(node.id);
  }
  return label;
}

}  // namespace

PathStatus PathStatus::of(const SessionPath& path) {
  PathStatus status;
  status.pathKey = path.key;
  for (const auto& node : path.nodes) status.nodeIDs.push_back(node.id);
  status.displayName = path.displayName();
  status.firstHopHost = path.firstHost().value_or("");
  status.firstHopAddress = path.nodes.empty() ? std::string() : path.nodes.front().address;
  status.exitHost = path.exitHost().value_or("");
  status.exitNodeID = path.nodes.empty() ? 0 : path.nodes.back().id;
  return status;
}

std::shared_ptr<NodeSessionPool> NodeSessionPool::create(
    runtime::Executor executor, ExtensionBootstrap bootstrap, bool highSpeedEnabled,
    TrustBundle trustBundle, GeoIPTable geoIP,
    std::shared_ptr<HeartbeatSource> authorizationService, PacketHandler packetHandler,
    ConfigurationHandler configurationHandler, Options options) {
  return std::make_shared<NodeSessionPool>(
      std::move(executor), std::move(bootstrap), highSpeedEnabled, std::move(trustBundle),
      std::move(geoIP), std::move(authorizationService), std::move(packetHandler),
      std::move(configurationHandler), std::move(options));
}

NodeSessionPool::NodeSessionPool(runtime::Executor executor, ExtensionBootstrap bootstrap,
                                 bool highSpeedEnabled, TrustBundle trustBundle, GeoIPTable geoIP,
                                 std::shared_ptr<HeartbeatSource> authorizationService,
                                 PacketHandler packetHandler,
                                 ConfigurationHandler configurationHandler, Options options)
    : Serialized(executor),
      bootstrap_(std::move(bootstrap)),
      authorizationService_(std::move(authorizationService)),
      packetHandler_(std::move(packetHandler)),
      configurationHandler_(std::move(configurationHandler)),
      trustBundle_(std::move(trustBundle)),
      selection_(bootstrap_.config, std::move(geoIP), highSpeedEnabled),
      clock_(options.clock ? std::move(options.clock) : std::make_shared<runtime::SystemClock>()),
      sessionOptions_(std::move(options.sessionOptions)),
      log_(options.log ? std::move(options.log) : std::make_shared<platform::QuietLog>()),
      executor_(std::move(executor)) {}

// ---- public operations: each runs on the strand, keeping the pool alive ----

Task<void> NodeSessionPool::submitBatch(std::vector<OutboundPacket> batch) {
  return serialized(retained(shared_from_this(), doSubmitBatch(std::move(batch))));
}

Task<void> NodeSessionPool::submit(runtime::SharedBytes packet,
                                   std::optional<std::string> forcedRegion) {
  return serialized(
      retained(shared_from_this(), doSubmit(std::move(packet), std::move(forcedRegion))));
}

Task<void> NodeSessionPool::reapIdleSessions() {
  return serialized(retained(shared_from_this(), doReap()));
}

Task<void> NodeSessionPool::updateHighSpeed(bool enabled) {
  return serialized(retained(shared_from_this(), doUpdateHighSpeed(enabled)));
}

Task<void> NodeSessionPool::networkPathDidChange() {
  return serialized(retained(shared_from_this(), tearDown(Teardown::clearCooldowns)));
}

Task<void> NodeSessionPool::close() {
  return serialized(retained(shared_from_this(), tearDown(Teardown::keepCooldowns)));
}

Task<std::vector<PathStatus>> NodeSessionPool::status() {
  return serialized(retained(shared_from_this(), doStatus()));
}

Task<void> NodeSessionPool::heartbeat() {
  return serialized(retained(shared_from_this(), doHeartbeat()));
}

Task<void> NodeSessionPool::updateTrust(TrustBundle trustBundle) {
  auto replace = [](Self self, TrustBundle bundle) -> Task<void> {
    self->trustBundle_ = std::move(bundle);
    co_return;
  };
  return serialized(replace(shared_from_this(), std::move(trustBundle)));
}

Task<void> NodeSessionPool::updateGeoIP(GeoIPTable geoIP) {
  auto replace = [](Self self, GeoIPTable table) -> Task<void> {
    self->selection_.setGeoIP(std::move(table));
    self->flowRouter_.removeAll();
    co_return;
  };
  return serialized(replace(shared_from_this(), std::move(geoIP)));
}

Task<ExtensionBootstrap> NodeSessionPool::currentBootstrap() {
  auto read = [](Self self) -> Task<ExtensionBootstrap> { co_return self->bootstrap_; };
  return serialized(read(shared_from_this()));
}

Task<NodeSessionPool::Snapshot> NodeSessionPool::snapshot() {
  auto read = [](Self self) -> Task<Snapshot> {
    Snapshot state;
    for (const auto& [key, session] : self->sessions_) state.sessionKeys.push_back(key);
    for (const auto& [key, path] : self->connectingPaths_) state.connectingKeys.push_back(key);
    std::sort(state.sessionKeys.begin(), state.sessionKeys.end());
    std::sort(state.connectingKeys.begin(), state.connectingKeys.end());
    state.unavailableUntil = self->selection_.unavailableUntil;
    state.bindings = self->flowRouter_.bindings();
    state.networkGeneration = self->networkGeneration_;
    state.highSpeedEnabled = self->selection_.highSpeedEnabled();
    co_return state;
  };
  return serialized(read(shared_from_this()));
}

// ---- sending ----

Task<void> NodeSessionPool::doSubmitBatch(std::vector<OutboundPacket> batch) {
  if (batch.empty()) co_return;
  const double start = now();

  auto groups = groupBatch(batch, selection_, flowRouter_, sessionPaths_, start);
  for (auto& group : groups) {
    auto sending = sendThrough(group.candidates, std::move(group.packets));
    auto key = co_await std::move(sending);
    if (!key) continue;  // every candidate failed: the group is dropped
    const double sent = now();
    for (auto i : group.items) {
      const auto& metadata = batch[i].metadata;
      // Rewriting a binding that already says this, and is under a second old,
      // would only move its lastSeen: the flow table is touched at most once
      // per flow per second.
      const auto* binding = flowRouter_.binding(metadata.flowKey);
      if (binding && !metadata.endsFlow() && binding->pathKey == *key &&
          sent - binding->lastSeen < FlowRouter::refreshInterval) {
        continue;
      }
      flowRouter_.recordSent(metadata, *key, sent);
    }
  }
}

Task<void> NodeSessionPool::doSubmit(runtime::SharedBytes packet,
                                     std::optional<std::string> region) {
  auto metadata = PacketMetadata::parse(packet.span());
  if (!metadata) runtime::fail(ProtocolError::invalidFrame);
  const double start = now();
  auto candidates = selection_.candidatePaths(*metadata, region, start);
  if (candidates.empty()) runtime::fail(ProtocolError::invalidAddress);
  auto sending = sendThrough(candidates, Session::Packets{std::move(packet)});
  auto key = co_await std::move(sending);
  if (!key) runtime::fail(ProtocolError::connectionClosed);
  flowRouter_.recordSent(*metadata, *key, start);
}

Task<std::optional<std::string>> NodeSessionPool::sendThrough(
    const std::vector<PathRef>& candidates, Session::Packets packets) {
  for (const auto& path : candidates) {
    SessionPtr session;
    try {
      auto opening = sessionFor(path);
      session = co_await std::move(opening);
    } catch (const std::exception&) {
      session = nullptr;
    }
    if (!session) {
      auto marking = markUnavailable(path, nullptr);
      co_await std::move(marking);
      continue;
    }
    // The last candidate may have the packets; earlier ones send a copy to keep
    // them for the next.
    auto sending = session->sendBatch(&path == &candidates.back() ? std::move(packets) : packets);
    if (!co_await std::move(sending)) {
      auto marking = markUnavailable(path, session);
      co_await std::move(marking);
      continue;
    }
    lastUsedAt_[path->key] = now();
    selection_.unavailableUntil.erase(path->key);
    co_return path->key;
  }
  co_return std::nullopt;
}

// ---- sessions and connection attempts ----

Task<NodeSessionPool::SessionPtr> NodeSessionPool::sessionFor(PathRef path) {
  const std::string key = path->key;
  // Read without a hop onto the session's strand: this runs for every batch.
  if (auto registered = sessions_.find(key);
      registered != sessions_.end() && !registered->second->isClosed()) {
    co_return registered->second;
  }

  runtime::SharedTask<SessionPtr> task;
  if (auto attempt = connectionTasks_.find(key); attempt != connectionTasks_.end()) {
    task = attempt->second.task;
  } else {
    const std::uint64_t id = nextAttemptID_++;
    connectingPaths_[key] = path;
    // Sessions share the pool's strand: a batch goes from the pool to the
    // socket without waiting for a thread to pick up a hop.
    ConnectInputs inputs{strand(),
                         bootstrap_.deviceCredential,
                         bootstrap_.deviceID,
                         trustBundle_,
                         packetHandler_,
                         sessionOptions_};
    task = runtime::SharedTask<SessionPtr>::start(
        executor_, [weak = weak_from_this(), path, id, generation = networkGeneration_,
                    inputs = std::move(inputs)](runtime::CancelToken token) {
          return connectAttempt(weak, path, id, generation, inputs, std::move(token));
        });
    connectionTasks_[key] = Attempt{id, task};
  }
  auto waiting = task.value();
  co_return co_await std::move(waiting);
}

Task<NodeSessionPool::SessionPtr> NodeSessionPool::connectAttempt(
    std::weak_ptr<NodeSessionPool> weak, PathRef path, std::uint64_t attemptID,
    std::uint64_t generation, ConnectInputs inputs, runtime::CancelToken token) {
  // A failed session reports on its own strand; the pool handles it on its own.
  auto stateHandler = [weak, key = path->key](const boost::uuids::uuid& id) {
    auto pool = weak.lock();
    if (!pool) return;
    runtime::spawn(pool->strand(), retained(pool, pool->sessionFailed(key, id)));
  };

  SessionPtr session;
  std::exception_ptr error;
  try {
    auto connecting = Session::connect(inputs.executor, path->nodes, std::move(inputs.credential),
                                       inputs.deviceID, std::move(inputs.trustBundle), stateHandler,
                                       inputs.options);
    session = co_await std::move(connecting);
    auto installing = session->setPacketHandler(std::move(inputs.packetHandler));
    co_await std::move(installing);
  } catch (...) {
    error = std::current_exception();
  }

  auto pool = weak.lock();
  if (!pool) {
    if (session) {
      auto closing = session->close();
      co_await std::move(closing);
    }
    runtime::fail(ProtocolError::connectionClosed);
  }
  auto settling = runtime::runOn<SessionPtr>(
      pool->strand(), retained(pool, pool->settleAttempt(path, attemptID, generation,
                                                         std::move(token), session, error)));
  co_return co_await std::move(settling);
}

Task<NodeSessionPool::SessionPtr> NodeSessionPool::settleAttempt(
    PathRef path, std::uint64_t attemptID, std::uint64_t generation, runtime::CancelToken token,
    SessionPtr session, std::exception_ptr error) {
  const std::string& key = path->key;
  forgetAttempt(key, attemptID);
  if (error) std::rethrow_exception(error);
  if (generation != networkGeneration_ || token.isCancelled()) {
    // Started before a teardown, or given up: its waiters must not use it.
    auto closing = session->close();
    co_await std::move(closing);
    runtime::fail(ProtocolError::connectionClosed);
  }
  SessionPtr replaced;
  if (auto old = sessions_.find(key); old != sessions_.end() && old->second != session) {
    replaced = old->second;
  }
  sessions_[key] = session;
  sessionPaths_[key] = path;
  lastUsedAt_[key] = now();
  if (log_->enabled(platform::LogLevel::debug)) log_->debug("path connected: " + pathLabel(*path));
  if (replaced) {
    auto closing = replaced->close();
    co_await std::move(closing);
  }
  co_return session;
}

void NodeSessionPool::forgetAttempt(const std::string& key, std::uint64_t attemptID) {
  // Only this attempt's entries: a newer attempt for the key may have taken its place.
  auto attempt = connectionTasks_.find(key);
  if (attempt == connectionTasks_.end() || attempt->second.id != attemptID) return;
  connectionTasks_.erase(attempt);
  connectingPaths_.erase(key);
}

Task<void> NodeSessionPool::sessionFailed(std::string key, boost::uuids::uuid id) {
  auto registered = sessions_.find(key);
  auto path = sessionPaths_.find(key);
  if (registered == sessions_.end() || registered->second->id() != id ||
      path == sessionPaths_.end()) {
    co_return;
  }
  auto marking = markUnavailable(path->second, registered->second);
  co_await std::move(marking);
}

Task<void> NodeSessionPool::markUnavailable(PathRef path, SessionPtr session) {
  const std::string& key = path->key;
  auto& until = selection_.unavailableUntil[key];
  if (until <= now()) {
    // Once per cooldown: its packets go to the next candidate meanwhile.
    log_->warning("a path failed; the next candidate takes over while it rests for " +
                  std::to_string(static_cast<int>(failureCooldown)) + " s");
    if (log_->enabled(platform::LogLevel::debug)) log_->debug("path failed: " + pathLabel(*path));
  }
  until = now() + failureCooldown;
  flowRouter_.remove(key);
  if (auto attempt = connectionTasks_.find(key); attempt != connectionTasks_.end()) {
    attempt->second.task.cancel();
    connectionTasks_.erase(attempt);
  }
  connectingPaths_.erase(key);
  std::vector<SessionPtr> closing;
  if (auto registered = sessions_.find(key); registered != sessions_.end()) {
    closing.push_back(registered->second);
    sessions_.erase(registered);
  }
  sessionPaths_.erase(key);
  lastUsedAt_.erase(key);
  if (session && (closing.empty() || closing.front() != session)) closing.push_back(session);
  auto closingAll = closeAll(std::move(closing));
  co_await std::move(closingAll);
}

Task<void> NodeSessionPool::closeAll(std::vector<SessionPtr> sessions) {
  for (auto& session : sessions) {
    auto closing = session->close();
    co_await std::move(closing);
  }
}

// ---- lifecycle ----

Task<void> NodeSessionPool::doReap() {
  const double limit = now() - sessionIdleTimeout;
  std::vector<SessionPtr> closing;
  for (auto entry = sessions_.begin(); entry != sessions_.end();) {
    const std::string key = entry->first;
    auto used = lastUsedAt_.find(key);
    const double lastUsed = used == lastUsedAt_.end() ? 0 : used->second;
    if (lastUsed > limit) {
      ++entry;
      continue;
    }
    closing.push_back(entry->second);
    entry = sessions_.erase(entry);
    sessionPaths_.erase(key);
    lastUsedAt_.erase(key);
    flowRouter_.remove(key);
  }
  auto closingAll = closeAll(std::move(closing));
  co_await std::move(closingAll);
}

Task<void> NodeSessionPool::doUpdateHighSpeed(bool enabled) {
  if (enabled == selection_.highSpeedEnabled()) co_return;
  selection_.setHighSpeedEnabled(enabled);
  auto tearing = tearDown(Teardown::keepCooldowns);
  co_await std::move(tearing);
}

Task<void> NodeSessionPool::tearDown(Teardown mode) {
  ++networkGeneration_;
  flowRouter_.removeAll();
  for (auto& [key, attempt] : connectionTasks_) attempt.task.cancel();
  connectionTasks_.clear();
  connectingPaths_.clear();
  std::vector<SessionPtr> closing;
  for (auto& [key, session] : sessions_) closing.push_back(session);
  sessions_.clear();
  sessionPaths_.clear();
  lastUsedAt_.clear();
  if (mode == Teardown::clearCooldowns) selection_.unavailableUntil.clear();
  auto closingAll = closeAll(std::move(closing));
  co_await std::move(closingAll);
}

Task<void> NodeSessionPool::doHeartbeat() {
  if (!authorizationService_) co_return;
  auto service = authorizationService_;
  auto asking = service->heartbeat(bootstrap_);
  auto next = co_await std::move(asking);
  if (!next) co_return;
  log_->notice("re-authorized: the tunnel goes on with a new credential");
  auto replacing = replaceAuthorization(std::move(*next));
  co_await std::move(replacing);
}

Task<void> NodeSessionPool::replaceAuthorization(ExtensionBootstrap next) {
  if (PathSelection::networkFingerprint(next) != PathSelection::networkFingerprint(bootstrap_) &&
      configurationHandler_) {
    auto handler = configurationHandler_;
    auto applying = handler(next);
    co_await std::move(applying);
  }
  // Sessions authenticated for another tunnel address cannot carry packets from
  // the new one (an exit drops every packet whose source is not its session's
  // address), so a new address retires them all, allowed paths included.
  const bool addressChanged =
      next.vpnIPv4 != bootstrap_.vpnIPv4 || next.deviceID != bootstrap_.deviceID;
  bootstrap_ = std::move(next);
  selection_.setConfig(bootstrap_.config);

  const auto allowed = selection_.allowedPathKeys();
  std::vector<SessionPtr> closing;
  for (auto entry = sessionPaths_.begin(); entry != sessionPaths_.end();) {
    const std::string key = entry->first;
    if (!addressChanged && allowed.contains(key)) {
      ++entry;
      continue;
    }
    entry = sessionPaths_.erase(entry);
    lastUsedAt_.erase(key);
    if (auto registered = sessions_.find(key); registered != sessions_.end()) {
      closing.push_back(registered->second);
      sessions_.erase(registered);
    }
  }
  for (auto attempt = connectionTasks_.begin(); attempt != connectionTasks_.end();) {
    if (!addressChanged && allowed.contains(attempt->first)) {
      ++attempt;
      continue;
    }
    attempt->second.task.cancel();
    connectingPaths_.erase(attempt->first);
    attempt = connectionTasks_.erase(attempt);
  }
  flowRouter_.removeAll();
  auto closingAll = closeAll(std::move(closing));
  co_await std::move(closingAll);
}

Task<std::vector<PathStatus>> NodeSessionPool::doStatus() {
  std::vector<PathStatus> live;
  for (const auto& [key, path] : sessionPaths_) {
    auto session = sessions_.find(key);
    if (session != sessions_.end() && !session->second->isClosed()) {
      live.push_back(PathStatus::of(*path));
    }
  }
  co_return live;
}

}  // namespace flowgate
