#include "flowgate/provider/background_loops.hpp"

#include "flowgate/control/trust_store.hpp"
#include "flowgate/provider/flowgate_provider.hpp"
#include "flowgate/provider/network_settings_builder.hpp"
#include "runtime/spawn.hpp"

#include <algorithm>

namespace flowgate {

std::string networkFingerprint(const platform::NetworkPath& path) {
  std::vector<std::string> entries;
  for (const auto& interface : path.availableInterfaces) {
    if (interface.type == platform::InterfaceType::other) continue;
    entries.push_back(std::string(platform::caseName(interface.type)) + ":" + interface.name);
  }
  std::sort(entries.begin(), entries.end());
  std::string fingerprint;
  for (const auto& entry : entries) {
    if (!fingerprint.empty()) fingerprint += ",";
    fingerprint += entry;
  }
  return fingerprint;
}

namespace {

// Sleeps on the clock; false when the token ended the sleep.
runtime::Task<bool> pause(runtime::Clock& clock, double seconds, runtime::CancelToken token) {
  try {
    auto sleeping = clock.sleep(seconds, token);
    co_await std::move(sleeping);
  } catch (const runtime::CancellationError&) {
  }
  co_return !token.isCancelled();
}

}  // namespace

void Flowgate::startPathMonitor(std::shared_ptr<NodeSessionPool> pool, std::uint64_t run) {
  auto monitor = env_.makePathMonitor();
  {
    std::lock_guard lock(mutex_);
    if (settingsClosed_) return;
    pathMonitor_ = monitor;
  }
  // The handler's own state: calls come one at a time from the monitor.
  struct Seen {
    bool first = false;
    std::string fingerprint;
    std::optional<bool> ownLinkUp;
  };
  auto seen = std::make_shared<Seen>();
  std::weak_ptr<Flowgate> weak = weak_from_this();
  monitor->start([weak, seen, pool, run](const platform::NetworkPath& path) {
    auto self = weak.lock();
    if (!self) return;
    bool ownLinkUp = !path.ownInterfaces.empty();
    // Only a return from down: a path that never showed our link says nothing.
    if (ownLinkUp && seen->ownLinkUp == false) {
      runtime::spawn(self->env_.executor, reapplyAfterLinkUp(weak, pool, run));
    }
    // Nothing passes while our link is down: not connected, not failed either.
    if (!ownLinkUp && seen->ownLinkUp == true) self->setReasserting(true);
    seen->ownLinkUp = ownLinkUp;
    auto fingerprint = networkFingerprint(path);
    if (!seen->first) {
      seen->first = true;
      seen->fingerprint = std::move(fingerprint);
      return;
    }
    if (fingerprint == seen->fingerprint) return;
    seen->fingerprint = std::move(fingerprint);
    self->pathUpdated(path, pool);
  });
}

runtime::Task<void> Flowgate::reapplyAfterLinkUp(std::weak_ptr<Flowgate> weak,
                                                 std::shared_ptr<NodeSessionPool> pool,
                                                 std::uint64_t run) {
  std::exception_ptr error;
  try {
    auto reading = pool->currentBootstrap();
    auto bootstrap = co_await std::move(reading);
    auto self = weak.lock();
    if (!self) co_return;
    self->log_->info("tunnel interface up again");
    // The sessions stay: only the interface changed, not the network.
    auto reapplying = self->configurationHandler(std::move(bootstrap));
    co_await std::move(reapplying);
  } catch (...) {
    error = std::current_exception();
  }
  // Without its routes the tunnel refuses everything: say so rather than
  // stay connected.
  if (auto self = weak.lock(); self && error) self->failTunnel(run, error);
}

void Flowgate::pathUpdated(const platform::NetworkPath&, std::shared_ptr<NodeSessionPool> pool) {
  // A newer change replaces the reaction to an older one.
  auto loop = newLoop(&Flowgate::pathChangeTask_);
  runtime::spawn(env_.executor,
                 pathChangeReaction(weak_from_this(), std::move(pool), loop->cancel.token()));
}

runtime::Task<void> Flowgate::pathChangeReaction(std::weak_ptr<Flowgate> weak,
                                                 std::shared_ptr<NodeSessionPool> pool,
                                                 runtime::CancelToken token) {
  std::shared_ptr<runtime::Clock> clock;
  if (auto self = weak.lock()) clock = self->clock_;
  if (!clock) co_return;
  if (!co_await pause(*clock, pathSettlingDelay, token)) co_return;
  auto self = weak.lock();
  if (!self) co_return;

  self->setReasserting(true);
  self->log_->notice("network changed, sessions rebuilt");
  try {
    auto reading = pool->currentBootstrap();
    auto bootstrap = co_await std::move(reading);
    auto lookingUp =
        self->env_.systemResolvers->systemDNSResolvers(bootstrap.config.dns.localResolvers);
    auto resolvers = co_await std::move(lookingUp);
    // Names looked up on the old network may not hold on the new one.
    if (self->env_.nameResolver) self->env_.nameResolver->setResolvers(resolvers);
    std::shared_ptr<DNSProxy> proxy;
    std::vector<std::string> directCIDRs;
    {
      std::lock_guard lock(self->mutex_);
      self->localResolvers_ = resolvers;
      proxy = self->dnsProxy_;
      directCIDRs = self->directCIDRs_;
    }
    if (proxy && !resolvers.empty()) {
      auto setting = proxy->setLocalResolvers(resolvers);
      co_await std::move(setting);
    }
    try {
      auto applying = self->applySettings(makeNetworkSettings(bootstrap, directCIDRs, resolvers));
      co_await std::move(applying);
    } catch (...) {
      // Tried again at the next change.
      self->log_->warning("interface settings not re-applied: " +
                          platform::errorCause(std::current_exception()));
    }
    auto dropping = pool->networkPathDidChange();
    co_await std::move(dropping);
  } catch (...) {
    // A newer change took over: its own reaction follows.
    if (!token.isCancelled()) {
      self->log_->warning("network change not handled: " +
                          platform::errorCause(std::current_exception()));
    }
  }
  self->setReasserting(false);
}

void Flowgate::startSessionCleanupLoop(std::shared_ptr<NodeSessionPool> pool) {
  auto loop = newLoop(&Flowgate::sessionCleanupTask_);
  runtime::spawn(env_.executor,
                 [](std::shared_ptr<runtime::Clock> clock, std::shared_ptr<NodeSessionPool> target,
                    runtime::CancelToken token) -> runtime::Task<void> {
                   while (!token.isCancelled()) {
                     if (!co_await pause(*clock, sessionCleanupPeriod, token)) co_return;
                     try {
                       co_await target->reapIdleSessions();
                     } catch (...) {
                       // Reaped at the next round.
                     }
                   }
                 }(clock_, std::move(pool), loop->cancel.token()));
}

void Flowgate::startHeartbeatLoop(std::shared_ptr<TrustStore> trustStore, std::string controlURL,
                                  std::shared_ptr<NodeSessionPool> pool) {
  auto loop = newLoop(&Flowgate::heartbeatTask_);
  runtime::spawn(
      env_.executor,
      [](std::shared_ptr<runtime::Clock> clock, std::shared_ptr<TrustStore> trust, std::string url,
         std::shared_ptr<NodeSessionPool> target, std::shared_ptr<platform::Log> log,
         runtime::CancelToken token) -> runtime::Task<void> {
        std::optional<std::uint64_t> trustVersion;
        while (!token.isCancelled()) {
          try {
            auto loading = trust->load(url);
            auto bundle = co_await std::move(loading);
            if (trustVersion && *trustVersion != bundle.version) {
              log->notice("trust bundle updated to version " + std::to_string(bundle.version));
            }
            trustVersion = bundle.version;
            auto updating = target->updateTrust(std::move(bundle));
            co_await std::move(updating);
            if (token.isCancelled()) co_return;
            co_await target->heartbeat();
          } catch (...) {
            // A failed bundle, heartbeat or re-authorization waits for the next period.
            if (!token.isCancelled()) {
              log->warning("heartbeat failed: " + platform::errorCause(std::current_exception()));
            }
          }
          if (!co_await pause(*clock, heartbeatPeriod, token)) co_return;
        }
      }(clock_, std::move(trustStore), std::move(controlURL), std::move(pool), log_,
                                     loop->cancel.token()));
}

void Flowgate::startGeoIPLoop(std::shared_ptr<NodeSessionPool> pool,
                              std::shared_ptr<GeoIPStore> store, std::string controlURL) {
  auto loop = newLoop(&Flowgate::geoIPTask_);
  runtime::spawn(
      env_.executor,
      [](std::weak_ptr<Flowgate> weak, std::shared_ptr<runtime::Clock> clock,
         std::shared_ptr<NodeSessionPool> target, std::shared_ptr<GeoIPStore> geoIP,
         std::string url, std::shared_ptr<platform::Log> log,
         runtime::CancelToken token) -> runtime::Task<void> {
        while (!token.isCancelled()) {
          if (!co_await pause(*clock, geoIPPeriod, token) || weak.expired()) co_return;
          try {
            auto current = co_await geoIP->table();
            auto updating = geoIP->update(url);
            auto table = co_await std::move(updating);
            auto installing = geoIP->setTable(table);
            co_await std::move(installing);
            if (table.version() == current.version()) continue;
            log->notice("GeoIP table updated to version " + std::to_string(table.version()));
            auto handing = target->updateGeoIP(table);
            co_await std::move(handing);
            auto self = weak.lock();
            if (!self) co_return;
            std::shared_ptr<DNSProxy> proxy;
            std::vector<std::string> resolvers;
            {
              std::lock_guard lock(self->mutex_);
              self->directCIDRs_ = table.directCIDRs();
              proxy = self->dnsProxy_;
              resolvers = self->localResolvers_;
            }
            if (proxy) {
              auto setting = proxy->setGeoIP(table);
              co_await std::move(setting);
            }
            auto reading = target->currentBootstrap();
            auto bootstrap = co_await std::move(reading);
            auto applying =
                self->applySettings(makeNetworkSettings(bootstrap, table.directCIDRs(), resolvers));
            co_await std::move(applying);
          } catch (...) {
            // Tried again after the next period.
            if (!token.isCancelled()) {
              log->warning("GeoIP update failed: " +
                           platform::errorCause(std::current_exception()));
            }
          }
        }
      }(weak_from_this(), clock_, std::move(pool), std::move(store), std::move(controlURL), log_,
                                     loop->cancel.token()));
}

}  // namespace flowgate
