#include "flowgate/provider/flowgate_provider.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/control/authorization_service.hpp"
#include "flowgate/control/token_store.hpp"
#include "flowgate/control/trust_store.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/provider/network_settings_builder.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"

#include <fstream>
#include <iterator>

namespace flowgate {

namespace {

const std::string* dataOption(const StartOptions& options, const char* key) {
  auto found = options.find(key);
  if (found == options.end()) return nullptr;
  const auto* data = std::get_if<OptionData>(&found->second);
  return data ? &data->bytes : nullptr;
}

std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

// The closures handed out hold no coroutine state of their own: the frame
// keeps copies of what it needs, however briefly the caller keeps the closure.
runtime::Task<void> Flowgate::reapplyFor(std::weak_ptr<Flowgate> weak, ExtensionBootstrap next) {
  auto self = weak.lock();
  if (!self) runtime::fail(ProtocolError::connectionClosed);
  auto reapplying = self->configurationHandler(std::move(next));
  co_await std::move(reapplying);
}

std::shared_ptr<Flowgate> Flowgate::create(Environment environment) {
  return std::make_shared<Flowgate>(std::move(environment));
}

Flowgate::Flowgate(Environment environment)
    : env_(std::move(environment)),
      clock_(env_.clock ? env_.clock : std::make_shared<runtime::SystemClock>()),
      log_(env_.log ? env_.log : std::make_shared<platform::QuietLog>()) {}

Flowgate::Started Flowgate::acceptOptions(const std::optional<StartOptions>& options) {
  if (!options) runtime::fail(ProtocolError::invalidFrame);
  const auto* bootstrapBytes = dataOption(*options, bootstrapOption);
  const auto* tokenBytes = dataOption(*options, extensionTokensOption);
  if (!bootstrapBytes || !tokenBytes) runtime::fail(ProtocolError::invalidFrame);

  Started started;
  try {
    started.bootstrap =
        runtime::json::decodeText<ExtensionBootstrap>(*bootstrapBytes, bootstrapForm);
  } catch (const std::exception&) {
    runtime::fail(ProtocolError::invalidFrame);
  }
  if (started.bootstrap.config.nodes.empty()) runtime::fail(ProtocolError::invalidFrame);

  auto tokens = decodeTokens(*tokenBytes);
  // A resumed run's options are as old as its first start; its refresh token
  // may be spent since.
  if (!options->contains(resumedOption) || !loadTokens(*env_.secrets)) {
    saveTokens(*env_.secrets, tokens);
  }

  if (auto found = options->find(highSpeedOption); found != options->end()) {
    if (const auto* number = std::get_if<double>(&found->second)) started.highSpeed = *number != 0;
  }
  return started;
}

void Flowgate::startTunnel(std::optional<StartOptions> options, StartCompletion completion) {
  log_->info("tunnel starting");
  Started started;
  try {
    started = acceptOptions(options);
  } catch (...) {
    log_->error("tunnel start failed: " + platform::errorCause(std::current_exception()));
    completion(std::current_exception());
    return;
  }
  {
    std::lock_guard lock(mutex_);
    started.run = ++run_;
    settingsClosed_ = false;
  }
  runtime::spawn(env_.executor,
                 startAsync(weak_from_this(), std::move(started), std::move(completion)));
}

runtime::Task<void> Flowgate::startAsync(std::weak_ptr<Flowgate> weak, Started started,
                                         StartCompletion completion) {
  std::exception_ptr error;
  std::shared_ptr<platform::Log> log;
  try {
    auto self = weak.lock();
    if (!self) runtime::fail(ProtocolError::connectionClosed);
    log = self->log_;
    co_await self->runStart(std::move(started));
  } catch (...) {
    error = std::current_exception();
  }
  if (log && error) {
    log->error("tunnel start failed: " + platform::errorCause(error));
  } else if (log) {
    log->notice("tunnel connected");
  }
  completion(error);
}

bool Flowgate::isCurrent(std::uint64_t run) const {
  std::lock_guard lock(mutex_);
  return run_ == run;
}

runtime::Task<void> Flowgate::runStart(Started started) {
  const auto& bootstrap = started.bootstrap;
  const auto run = started.run;
  auto stillCurrent = [&] {
    if (!isCurrent(run)) throw runtime::CancellationError();
  };

  // Known before the first control request: names are looked up there.
  auto lookingUp = env_.systemResolvers->systemDNSResolvers(bootstrap.config.dns.localResolvers);
  std::vector<std::string> localResolvers = co_await std::move(lookingUp);
  stillCurrent();
  if (env_.nameResolver) env_.nameResolver->setResolvers(localResolvers);

  auto trustStore =
      std::make_shared<TrustStore>(env_.executor, env_.makeHttpClient(bootstrap), env_.defaults);
  auto loading = trustStore->load(bootstrap.controlURL);
  auto trustBundle = co_await std::move(loading);
  stillCurrent();
  log_->info("trust bundle version " + std::to_string(trustBundle.version));

  auto geoIPStore = std::make_shared<GeoIPStore>(env_.executor, env_.makeHttpClient(bootstrap),
                                                 env_.geoIPDirectory);
  GeoIPTable table;
  try {
    auto updating = geoIPStore->update(bootstrap.controlURL);
    table = co_await std::move(updating);
    log_->info("GeoIP table version " + std::to_string(table.version()));
  } catch (const runtime::CancellationError&) {
    throw;
  } catch (...) {
    log_->warning("GeoIP update failed, the cached table serves: " +
                  platform::errorCause(std::current_exception()));
    // The last downloaded table, else none: GeoIP never ends a start.
    try {
      if (auto bytes = readFile(geoIPStore->cachePath())) table = GeoIPStore::decode(*bytes);
    } catch (...) {
      table = GeoIPTable();
    }
  }
  {
    auto installing = geoIPStore->setTable(table);
    co_await std::move(installing);
  }
  stillCurrent();

  {
    std::lock_guard lock(mutex_);
    directCIDRs_ = table.directCIDRs();
    localResolvers_ = localResolvers;
  }

  auto settings = makeNetworkSettings(bootstrap, table.directCIDRs(), localResolvers);
  // From here on a failure takes the interface's settings away again: a
  // half-applied start would leave the machine routed into a dead tunnel.
  std::shared_ptr<NodeSessionPool> pool;
  std::exception_ptr failure;
  try {
    auto applying = applySettings(std::move(settings));
    co_await std::move(applying);
    stillCurrent();

    auto authorization = AuthorizationService::create(env_.executor, env_.makeHttpClient(bootstrap),
                                                      env_.secrets, env_.defaults, clock_);

    std::weak_ptr<Flowgate> weak = weak_from_this();
    // Every packet written is IPv4, and says so itself.
    auto writer = std::make_shared<PacketWriter>(
        [weak, flow = env_.packetFlow](const std::vector<runtime::SharedBytes>& packets) {
          if (weak.expired()) return;
          flow->writePackets(packets, {});
        });
    {
      std::lock_guard lock(mutex_);
      packetWriter_ = writer;
    }

    pool = NodeSessionPool::create(
        env_.executor, bootstrap, started.highSpeed, trustBundle, table, authorization,
        [writer](const Session::Packets& packets) { writer->write(packets); },
        [weak](ExtensionBootstrap next) { return reapplyFor(weak, std::move(next)); },
        NodeSessionPool::Options{clock_, env_.sessionOptions, log_});

    // One engine on the pool's strand: the proxy hands its queries to the pool
    // there, parsed already.
    auto proxy = DNSProxy::create(
        pool->strand(), bootstrap.config.dns, table,
        [pool](runtime::SharedBytes packet, PacketMetadata metadata, std::string region) {
          return pool->sendToRegion(OutboundPacket{std::move(packet), metadata}, std::move(region));
        },
        [writer](runtime::SharedBytes packet) { writer->write({std::move(packet)}); },
        env_.dnsUpstream);
    if (!localResolvers.empty()) {
      auto setting = proxy->setLocalResolvers(localResolvers);
      co_await std::move(setting);
    }

    {
      std::lock_guard lock(mutex_);
      if (run_ != run) throw runtime::CancellationError();
      dnsProxy_ = proxy;
      sessionPool_ = pool;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (pool) runtime::spawn(env_.executor, pool->close());
    if (isCurrent(run)) {
      try {
        auto removing = env_.settingsApplier->remove();
        co_await std::move(removing);
      } catch (...) {
      }
    }
    std::rethrow_exception(failure);
  }

  startPathMonitor(pool, run);
  startPacketLoop(pool, run);
  startSessionCleanupLoop(pool);
  startHeartbeatLoop(trustStore, bootstrap.controlURL, pool);
  startGeoIPLoop(pool, geoIPStore, bootstrap.controlURL);
}

runtime::Task<void> Flowgate::configurationHandler(ExtensionBootstrap bootstrap) {
  setReasserting(true);
  try {
    std::vector<std::string> directCIDRs;
    std::vector<std::string> localResolvers;
    {
      std::lock_guard lock(mutex_);
      directCIDRs = directCIDRs_;
      localResolvers = localResolvers_;
    }
    auto applying = applySettings(makeNetworkSettings(bootstrap, directCIDRs, localResolvers));
    co_await std::move(applying);
  } catch (...) {
    setReasserting(false);
    throw;
  }
  setReasserting(false);
}

runtime::Task<void> Flowgate::applySettings(platform::NetworkSettings settings) {
  {
    std::lock_guard lock(mutex_);
    if (settingsClosed_) runtime::fail(ProtocolError::connectionClosed);
  }
  auto applying = env_.settingsApplier->apply(std::move(settings));
  co_await std::move(applying);
  bool closed = false;
  {
    std::lock_guard lock(mutex_);
    closed = settingsClosed_;
  }
  if (closed) {
    // Stop came while this was under way; its removal may have run first.
    auto removing = env_.settingsApplier->remove();
    co_await std::move(removing);
    runtime::fail(ProtocolError::connectionClosed);
  }
}

void Flowgate::setReasserting(bool value) {
  reasserting_ = value;
  if (env_.reassertingChanged) env_.reassertingChanged(value);
}

void Flowgate::stopTunnel(std::function<void()> completion) {
  takeDown(std::nullopt, [log = log_, completion = std::move(completion)] {
    log->notice("tunnel stopped");
    if (completion) completion();
  });
}

void Flowgate::failTunnel(std::uint64_t run, std::exception_ptr error) {
  takeDown(run, [report = env_.cancelTunnelWithError, error, log = log_] {
    log->error("tunnel failed and was taken down: " + platform::errorCause(error));
    if (report) report(error);
  });
}

void Flowgate::takeDown(std::optional<std::uint64_t> onlyRun, std::function<void()> completion) {
  std::shared_ptr<NodeSessionPool> pool;
  {
    std::lock_guard lock(mutex_);
    if (onlyRun && (run_ != *onlyRun || settingsClosed_)) return;
    ++run_;
    settingsClosed_ = true;
    for (auto* task :
         {&packetTask_, &heartbeatTask_, &geoIPTask_, &sessionCleanupTask_, &pathChangeTask_}) {
      if (*task) (*task)->cancel.cancel();
      task->reset();
    }
    if (pathMonitor_) pathMonitor_->cancel();
    pathMonitor_.reset();
    dnsProxy_.reset();
    if (packetWriter_) packetWriter_->close();
    packetWriter_.reset();
    pool = std::move(sessionPool_);
    sessionPool_.reset();
  }
  runtime::spawn(env_.executor,
                 [](std::shared_ptr<NodeSessionPool> closing,
                    std::shared_ptr<platform::SettingsApplier> applier,
                    std::function<void()> done) -> runtime::Task<void> {
                   try {
                     if (closing) co_await closing->close();
                   } catch (...) {
                     // Its sessions are gone with it either way.
                   }
                   try {
                     auto removing = applier->remove();
                     co_await std::move(removing);
                   } catch (...) {
                     // Nothing left to report a failure to; the next start
                     // removes leftovers.
                   }
                   done();
                 }(std::move(pool), env_.settingsApplier, std::move(completion)));
}

Flowgate::Snapshot Flowgate::snapshot() const {
  std::lock_guard lock(mutex_);
  Snapshot s;
  s.hasPool = sessionPool_ != nullptr;
  s.hasDNSProxy = dnsProxy_ != nullptr;
  s.hasWriter = packetWriter_ != nullptr;
  if (dnsProxy_) s.dnsServerIPv4 = dnsProxy_->servers();
  s.directCIDRs = directCIDRs_;
  s.localResolvers = localResolvers_;
  for (const auto* task :
       {&packetTask_, &heartbeatTask_, &geoIPTask_, &sessionCleanupTask_, &pathChangeTask_}) {
    if (*task) ++s.runningLoops;
  }
  return s;
}

std::shared_ptr<NodeSessionPool> Flowgate::sessionPool() const {
  std::lock_guard lock(mutex_);
  return sessionPool_;
}

std::shared_ptr<Flowgate::Loop> Flowgate::newLoop(std::shared_ptr<Loop> Flowgate::*slot) {
  auto loop = std::make_shared<Loop>();
  std::lock_guard lock(mutex_);
  if (this->*slot) (this->*slot)->cancel.cancel();
  // A loop started after stop ends before its first step.
  if (settingsClosed_) {
    loop->cancel.cancel();
  } else {
    this->*slot = loop;
  }
  return loop;
}

}  // namespace flowgate
