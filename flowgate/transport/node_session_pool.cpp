#include "flowgate/transport/node_session_pool.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/steady_timer.hpp>

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
      log_(options.log ? std::move(options.log) : std::make_shared<platform::QuietLog>()) {}

// What a caller awaiting its packets waits for: every group settled, sent or
// dropped. Touched only on the pool's strand.
struct NodeSessionPool::Outcome {
  explicit Outcome(const runtime::Executor& strand)
      : settled(strand, boost::asio::steady_timer::time_point::max()) {}

  void settle(const std::string* sentOn) {
    if (sentOn) key = *sentOn;
    if (--pending == 0) settled.cancel();
  }
  Task<void> wait() {
    while (pending > 0) co_await settled.async_wait(runtime::asTuple);
  }

  std::size_t pending = 0;
  std::optional<std::string> key;  // the path a group went out on
  boost::asio::steady_timer settled;
};

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
  auto closing = [](Self self) -> Task<void> {
    // Packets still waiting for an attempt are dropped when it ends, not sent
    // on to another node of a tunnel that has stopped.
    self->closed_ = true;
    auto tearing = self->tearDown(Teardown::keepCooldowns);
    co_await std::move(tearing);
  };
  return serialized(closing(shared_from_this()));
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

Task<void> NodeSessionPool::route(std::span<const OutboundPacket> batch) {
  assertOnStrand();
  return dispatchBatch(batch, nullptr);
}

Task<void> NodeSessionPool::route(std::vector<OutboundPacket> batch) {
  assertOnStrand();
  auto routing = dispatchBatch(batch, nullptr);
  co_await std::move(routing);
}

Task<void> NodeSessionPool::doSubmitBatch(std::vector<OutboundPacket> batch) {
  auto outcome = std::make_shared<Outcome>(strand());
  auto dispatching = dispatchBatch(batch, outcome);
  co_await std::move(dispatching);
  auto waiting = outcome->wait();
  co_await std::move(waiting);
}

Task<void> NodeSessionPool::dispatchBatch(std::span<const OutboundPacket> batch,
                                          std::shared_ptr<Outcome> outcome) {
  if (batch.empty()) co_return;
  // Held by this batch until it is dispatched: the sends suspend, and another
  // batch may be dispatched meanwhile.
  auto storage = batchStorage_ ? std::move(batchStorage_) : std::make_unique<BatchStorage>();
  auto& grouped = storage->grouped;
  groupBatch(batch, selection_, flowRouter_, sessionPaths_, now(), grouped);
  if (outcome) outcome->pending += grouped.count();
  auto& pending = storage->pending;
  for (std::size_t k = 0; k < grouped.count(); ++k) {
    // The lists change places and come back, keeping their capacity, unless
    // a connection attempt took them.
    auto& group = grouped.groups[k];
    std::swap(pending.candidates, group.candidates);
    std::swap(pending.packets, group.packets);
    pending.metadata.clear();
    for (auto i : group.items) pending.metadata.push_back(batch[i].metadata);
    pending.next = 0;
    pending.boundAt.reset();
    pending.outcome = outcome;
    auto dispatching = dispatch(pending);
    co_await std::move(dispatching);
    std::swap(pending.candidates, group.candidates);
    std::swap(pending.packets, group.packets);
    // A packet kept holds its whole read block.
    group.candidates.clear();
    group.packets.clear();
    pending.outcome = nullptr;
  }
  if (!batchStorage_) batchStorage_ = std::move(storage);
}

Task<void> NodeSessionPool::doSubmit(runtime::SharedBytes packet,
                                     std::optional<std::string> region) {
  auto metadata = PacketMetadata::parse(packet.span());
  if (!metadata) runtime::fail(ProtocolError::invalidFrame);
  auto sending = sendToRegion(OutboundPacket{std::move(packet), *metadata}, std::move(region));
  co_await std::move(sending);
}

Task<void> NodeSessionPool::sendToRegion(OutboundPacket packet,
                                         std::optional<std::string> forcedRegion) {
  assertOnStrand();
  [[maybe_unused]] auto self = shared_from_this();  // alive until the outcome is known
  const double start = now();
  auto candidates = selection_.candidatePaths(packet.metadata, forcedRegion, start);
  if (candidates.empty()) runtime::fail(ProtocolError::invalidAddress);
  auto outcome = std::make_shared<Outcome>(strand());
  outcome->pending = 1;
  PendingGroup group{std::move(candidates), 0,     Session::Packets{std::move(packet.bytes)},
                     {packet.metadata},     start, outcome};
  auto dispatching = dispatch(group);
  co_await std::move(dispatching);
  auto waiting = outcome->wait();
  co_await std::move(waiting);
  if (!outcome->key) runtime::fail(ProtocolError::connectionClosed);
}

Task<void> NodeSessionPool::dispatch(PendingGroup& group) {
  for (; !closed_ && group.next < group.candidates.size(); ++group.next) {
    const PathRef path = group.candidates[group.next];
    if (auto attempt = connectionTasks_.find(path->key); attempt != connectionTasks_.end()) {
      enqueue(*attempt->second, std::move(group));
      co_return;
    }
    // Read without a hop onto the session's strand: this runs for every batch.
    auto registered = sessions_.find(path->key);
    if (registered == sessions_.end() || registered->second->isClosed()) {
      connectThen(path, std::move(group));
      co_return;
    }
    SessionPtr session = registered->second;
    auto sending = session->sendPackets(group.packets);
    if (co_await std::move(sending)) {
      delivered(*path, group);
      co_return;
    }
    markUnavailable(path, session);
  }
  // Every candidate failed: the group is dropped.
  if (group.outcome) group.outcome->settle(nullptr);
}

void NodeSessionPool::enqueue(Attempt& attempt, PendingGroup group) {
  // A connect may take seconds: a waiting packet must not keep the block the
  // interface read it into (and every packet beside it) that long.
  for (auto& packet : group.packets) {
    packet = runtime::SharedBytes::copy(packet.span());
    attempt.queuedBytes += packet.size();
  }
  attempt.queuedPackets += group.packets.size();
  attempt.queue.push_back(std::move(group));
  // A path that is slow to open holds only its most recent packets.
  while (attempt.queuedPackets > queuePacketLimit || attempt.queuedBytes > queueByteLimit) {
    auto& oldest = attempt.queue.front();
    attempt.queuedBytes -= oldest.packets.front().size();
    --attempt.queuedPackets;
    oldest.packets.erase(oldest.packets.begin());
    oldest.metadata.erase(oldest.metadata.begin());
    if (oldest.packets.empty()) {
      if (oldest.outcome) oldest.outcome->settle(nullptr);
      attempt.queue.pop_front();
    }
  }
}

void NodeSessionPool::delivered(const SessionPath& path, const PendingGroup& group) {
  lastUsedAt_[path.key] = now();
  selection_.unavailableUntil.erase(path.key);
  const double sent = group.boundAt.value_or(now());
  for (const auto& metadata : group.metadata) {
    // Rewriting a binding that already says this, and is under a second old,
    // would only move its lastSeen: the flow table is touched at most once per
    // flow per second.
    const auto* binding = flowRouter_.binding(metadata.flowKey);
    if (binding && !metadata.endsFlow() && binding->pathKey == path.key &&
        sent - binding->lastSeen < FlowRouter::refreshInterval) {
      continue;
    }
    flowRouter_.recordSent(metadata, path.key, sent);
  }
  if (group.outcome) group.outcome->settle(&path.key);
}

// ---- sessions and connection attempts ----

void NodeSessionPool::connectThen(PathRef path, PendingGroup group) {
  const std::string& key = path->key;
  auto attempt = std::make_shared<Attempt>();
  attempt->id = nextAttemptID_++;
  // Queued before the attempt starts, so even an attempt that fails at once
  // finds its packets.
  enqueue(*attempt, std::move(group));
  connectionTasks_[key] = attempt;
  connectingPaths_[key] = path;
  // Sessions share the pool's strand: a batch goes from the pool to the
  // socket without waiting for a thread to pick up a hop.
  ConnectInputs inputs{strand(),
                       bootstrap_.deviceCredential,
                       bootstrap_.deviceID,
                       trustBundle_,
                       packetHandler_,
                       sessionOptions_};
  runtime::spawn(strand(), connectAttempt(weak_from_this(), std::move(path), std::move(attempt),
                                          networkGeneration_, std::move(inputs)));
}

Task<void> NodeSessionPool::connectAttempt(std::weak_ptr<NodeSessionPool> weak, PathRef path,
                                           std::shared_ptr<Attempt> attempt,
                                           std::uint64_t generation, ConnectInputs inputs) {
  // A failed session reports on the strand; the pool handles it in a task of its own.
  auto stateHandler = [weak, key = path->key](const boost::uuids::uuid& id) {
    auto pool = weak.lock();
    if (!pool) return;
    runtime::spawn(pool->strand(), retained(pool, pool->sessionFailed(key, id)));
  };

  SessionPtr session;
  try {
    auto connecting = Session::connect(inputs.executor, path->nodes, std::move(inputs.credential),
                                       inputs.deviceID, std::move(inputs.trustBundle), stateHandler,
                                       inputs.options);
    session = co_await std::move(connecting);
    auto installing = session->setPacketHandler(std::move(inputs.packetHandler));
    co_await std::move(installing);
  } catch (...) {
    // The attempt failed; its packets learn it below.
    if (session) session->closeOnStrand();
    session = nullptr;
  }

  auto pool = weak.lock();
  if (!pool) {
    if (session) session->closeOnStrand();
    co_return;
  }
  auto settling =
      retained(pool, pool->settleAttempt(std::move(path), std::move(attempt), generation, session));
  co_await std::move(settling);
}

Task<void> NodeSessionPool::settleAttempt(PathRef path, std::shared_ptr<Attempt> attempt,
                                          std::uint64_t generation, SessionPtr session) {
  assertOnStrand();
  const std::string key = path->key;
  forgetAttempt(key, attempt->id);
  if (session && (generation != networkGeneration_ || attempt->cancel.isCancelled())) {
    // Started before a teardown, or given up: its packets must not use it.
    session->closeOnStrand();
    session = nullptr;
  }
  auto queued = std::move(attempt->queue);
  attempt->queue.clear();
  if (!session) {
    markUnavailable(path, nullptr);
    auto failing = failOver(std::move(queued));
    co_await std::move(failing);
    co_return;
  }

  SessionPtr replaced;
  if (auto old = sessions_.find(key); old != sessions_.end() && old->second != session) {
    replaced = old->second;
  }
  sessions_[key] = session;
  sessionPaths_[key] = path;
  lastUsedAt_[key] = now();
  if (log_->enabled(platform::LogLevel::debug)) log_->debug("path connected: " + pathLabel(*path));
  if (replaced) replaced->closeOnStrand();

  // What waited goes out in one send, in arrival order, before anything that
  // comes after it (that waits for this write to finish).
  Session::Packets packets;
  for (const auto& group : queued) {
    packets.insert(packets.end(), group.packets.begin(), group.packets.end());
  }
  auto sending = session->sendOnStrand(std::move(packets));
  if (co_await std::move(sending)) {
    for (const auto& group : queued) delivered(*path, group);
    co_return;
  }
  markUnavailable(path, session);
  auto failing = failOver(std::move(queued));
  co_await std::move(failing);
}

Task<void> NodeSessionPool::failOver(std::deque<PendingGroup> groups) {
  for (auto& group : groups) {
    ++group.next;
    auto dispatching = dispatch(group);
    co_await std::move(dispatching);
  }
}

void NodeSessionPool::forgetAttempt(const std::string& key, std::uint64_t attemptID) {
  // Only this attempt's entries: a newer attempt for the key may have taken its place.
  auto attempt = connectionTasks_.find(key);
  if (attempt == connectionTasks_.end() || attempt->second->id != attemptID) return;
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
  markUnavailable(path->second, registered->second);
}

void NodeSessionPool::markUnavailable(const PathRef& failed, const SessionPtr& failedSession) {
  // Both may live in map entries removed below.
  const PathRef path = failed;
  const SessionPtr session = failedSession;
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
    attempt->second->cancel.cancel();
    connectionTasks_.erase(attempt);
  }
  connectingPaths_.erase(key);
  SessionPtr registered;
  if (auto entry = sessions_.find(key); entry != sessions_.end()) {
    registered = std::move(entry->second);
    sessions_.erase(entry);
  }
  sessionPaths_.erase(key);
  lastUsedAt_.erase(key);
  if (registered) registered->closeOnStrand();
  if (session && session != registered) session->closeOnStrand();
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
  for (auto& session : closing) session->closeOnStrand();
  co_return;
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
  for (auto& [key, attempt] : connectionTasks_) attempt->cancel.cancel();
  connectionTasks_.clear();
  connectingPaths_.clear();
  std::vector<SessionPtr> closing;
  for (auto& [key, session] : sessions_) closing.push_back(session);
  sessions_.clear();
  sessionPaths_.clear();
  lastUsedAt_.clear();
  if (mode == Teardown::clearCooldowns) selection_.unavailableUntil.clear();
  for (auto& session : closing) session->closeOnStrand();
  co_return;
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
    attempt->second->cancel.cancel();
    connectingPaths_.erase(attempt->first);
    attempt = connectionTasks_.erase(attempt);
  }
  flowRouter_.removeAll();
  for (auto& session : closing) session->closeOnStrand();
  co_return;
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
