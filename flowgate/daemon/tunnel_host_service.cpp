#include "flowgate/daemon/tunnel_host_service.hpp"

#include "runtime/error.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace flowgate::daemon {

namespace {

namespace asio = boost::asio;
using platform::TunnelHostError;
using platform::TunnelStatus;

StartOptions providerOptions(const platform::TunnelStartOptions& options) {
  StartOptions converted;
  for (const auto& [key, value] : options) {
    if (const auto* data = std::get_if<platform::TunnelOptionData>(&value)) {
      converted[key] = OptionData{data->bytes};
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      converted[key] = OptionText{*text};
    } else {
      converted[key] = std::get<double>(value);
    }
  }
  return converted;
}

}  // namespace

platform::TunnelErrorInfo tunnelErrorInfo(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return {e.code().category().name(), e.code().value(), e.code().message()};
  } catch (const std::exception& e) {
    return {TunnelHostService::otherErrorDomain, 1, e.what()};
  } catch (...) {
  }
  return {TunnelHostService::otherErrorDomain, 1, "unknown error"};
}

std::shared_ptr<TunnelHostService> TunnelHostService::create(runtime::Executor executor,
                                                             std::filesystem::path dataDirectory,
                                                             ProviderFactory makeProvider,
                                                             LockdownSetting lockdown) {
  return std::make_shared<TunnelHostService>(std::move(executor), std::move(dataDirectory),
                                             std::move(makeProvider), std::move(lockdown));
}

TunnelHostService::TunnelHostService(runtime::Executor executor,
                                     std::filesystem::path dataDirectory,
                                     ProviderFactory makeProvider, LockdownSetting lockdown)
    : Serialized(executor),
      store_(dataDirectory),
      running_(std::move(dataDirectory)),
      makeProvider_(std::move(makeProvider)),
      lockdown_(std::move(lockdown)) {
  configurations_ = store_.load();
  for (const auto& configuration : configurations_) {
    connections_[configuration.identifier].status = TunnelStatus::disconnected;
  }
}

runtime::Task<std::vector<platform::TunnelConfiguration>>
TunnelHostService::loadAllFromPreferences() {
  return serialized(
      [](TunnelHostService* self) -> runtime::Task<std::vector<platform::TunnelConfiguration>> {
        co_return self->configurations_;
      }(this));
}

runtime::Task<platform::TunnelConfiguration> TunnelHostService::saveToPreferences(
    platform::TunnelConfiguration configuration) {
  return serialized(
      [](TunnelHostService* self,
         platform::TunnelConfiguration saved) -> runtime::Task<platform::TunnelConfiguration> {
        auto configurations = self->configurations_;
        if (saved.identifier.empty()) {
          if (configurations.size() >= ConfigurationStore::maxConfigurations) {
            runtime::fail(TunnelHostError::tooManyConfigurations);
          }
          saved.identifier = newConfigurationIdentifier();
          configurations.push_back(saved);
        } else {
          auto found = std::ranges::find(configurations, saved.identifier,
                                         &platform::TunnelConfiguration::identifier);
          if (found == configurations.end()) runtime::fail(TunnelHostError::notFound);
          *found = saved;
        }
        // With its identifier, as the file will hold it.
        ConfigurationStore::checkSize(saved);
        self->persist(std::move(configurations));
        if (!self->connections_.contains(saved.identifier)) {
          self->connections_[saved.identifier].status = TunnelStatus::disconnected;
        }
        co_return saved;
      }(this, std::move(configuration)));
}

runtime::Task<platform::TunnelConfiguration> TunnelHostService::loadFromPreferences(
    std::string identifier) {
  return serialized(
      [](TunnelHostService* self, std::string id) -> runtime::Task<platform::TunnelConfiguration> {
        co_return *self->find(id);
      }(this, std::move(identifier)));
}

runtime::Task<void> TunnelHostService::removeFromPreferences(std::string identifier) {
  return serialized([](TunnelHostService* self, std::string id) -> runtime::Task<void> {
    self->find(id);
    // A removed configuration's tunnel does not outlive it.
    if (self->run_ && self->run_->identifier == id) co_await self->stopRunning();
    auto configurations = self->configurations_;
    std::erase_if(configurations, [&](const auto& entry) { return entry.identifier == id; });
    self->persist(std::move(configurations));
    self->connections_.erase(id);
  }(this, std::move(identifier)));
}

runtime::Task<void> TunnelHostService::startVPNTunnel(std::string identifier,
                                                      platform::TunnelStartOptions options) {
  return serialized(doStart(std::move(identifier), std::move(options)));
}

runtime::Task<void> TunnelHostService::stopVPNTunnel(std::string identifier) {
  return serialized(doStop(std::move(identifier)));
}

runtime::Task<platform::TunnelConnection> TunnelHostService::connection(std::string identifier) {
  return serialized(
      [](TunnelHostService* self, std::string id) -> runtime::Task<platform::TunnelConnection> {
        auto found = self->connections_.find(id);
        co_return found == self->connections_.end() ? platform::TunnelConnection{} : found->second;
      }(this, std::move(identifier)));
}

runtime::Task<std::optional<std::string>> TunnelHostService::sendProviderMessage(
    std::string identifier, std::string message, bool wantsReply) {
  return serialized(doSend(std::move(identifier), std::move(message), wantsReply));
}

runtime::Task<void> TunnelHostService::stopAll() {
  return serialized(
      [](TunnelHostService* self) -> runtime::Task<void> { co_await self->stopRunning(); }(this));
}

runtime::Task<void> TunnelHostService::resumeInterruptedRun() {
  return serialized([](TunnelHostService* self) -> runtime::Task<void> {
    auto interrupted = self->running_.load();
    if (!interrupted) co_return;
    interrupted->options[resumedOption] = 1.0;
    std::exception_ptr refused;
    try {
      co_await self->doStart(interrupted->identifier, std::move(interrupted->options));
    } catch (...) {
      refused = std::current_exception();
    }
    if (!refused) co_return;
    self->running_.remove();
    auto found = self->connections_.find(interrupted->identifier);
    if (found != self->connections_.end()) {
      found->second.lastDisconnectError = tunnelErrorInfo(refused);
    }
  }(this));
}

runtime::Task<bool> TunnelHostService::lockdown() {
  return serialized([](TunnelHostService* self) -> runtime::Task<bool> {
    co_return self->lockdown_.lockdown && self->lockdown_.lockdown->enabled();
  }(this));
}

runtime::Task<void> TunnelHostService::setLockdown(bool enabled) {
  return serialized([](TunnelHostService* self, bool on) -> runtime::Task<void> {
    auto& setting = self->lockdown_;
    if (!setting.lockdown) runtime::fail(TunnelHostError::unknownOperation);
    if (on && setting.persist) setting.persist(true);
    setting.lockdown->setEnabled(on);
    if (!on && setting.persist) setting.persist(false);
    co_return;
  }(this, enabled));
}

std::uint64_t TunnelHostService::addStatusObserver(StatusObserver observer) {
  std::lock_guard lock(observersMutex_);
  observers_.emplace(++nextObserver_, std::move(observer));
  return nextObserver_;
}

void TunnelHostService::removeStatusObserver(std::uint64_t token) {
  std::lock_guard lock(observersMutex_);
  observers_.erase(token);
}

runtime::Task<void> TunnelHostService::doStart(std::string identifier,
                                               platform::TunnelStartOptions options) {
  // A start right after a stop from another client waits for that stop.
  while (run_ && run_->stopping) co_await runEnded();
  auto found = find(identifier);
  if (!found->enabled) runtime::fail(TunnelHostError::disabled);
  if (run_) runtime::fail(TunnelHostError::alreadyRunning);

  // Before anything of the run exists: a daemon killed from here on starts
  // it again. Without the record the tunnel still runs; only that is lost.
  try {
    running_.save({identifier, options});
  } catch (const std::exception&) {
  }
  auto number = ++runs_;
  run_ = Run{identifier, number, {}, false};
  connections_[identifier].lastDisconnectError.reset();
  setStatus(identifier, TunnelStatus::connecting);

  auto converted = providerOptions(options);
  std::weak_ptr<TunnelHostService> weak = weak_from_this();
  auto onStrand = [weak, strand = strand()](auto work) {
    asio::post(strand, [weak, work = std::move(work)]() mutable {
      if (auto self = weak.lock()) work(*self);
    });
  };
  try {
    run_->provider = makeProvider_(
        converted,
        [onStrand, number](bool value) {
          onStrand(
              [number, value](TunnelHostService& self) { self.reassertingChanged(number, value); });
        },
        [onStrand, number](std::exception_ptr error) {
          onStrand([number, error](TunnelHostService& self) { self.failed(number, error); });
        });
  } catch (...) {
    connections_[identifier].lastDisconnectError = tunnelErrorInfo(std::current_exception());
    stopped(number);
    co_return;
  }
  run_->provider.provider->startTunnel(
      std::move(converted), [onStrand, number](std::exception_ptr error) {
        onStrand([number, error](TunnelHostService& self) { self.started(number, error); });
      });
}

runtime::Task<void> TunnelHostService::doStop(std::string identifier) {
  if (!connections_.contains(identifier)) runtime::fail(TunnelHostError::notFound);
  if (run_ && run_->identifier == identifier) co_await stopRunning();
}

runtime::Task<void> TunnelHostService::stopRunning() {
  if (!run_) co_return;
  if (!run_->stopping) beginStop(true);
  auto number = run_->number;
  while (isCurrent(number)) co_await runEnded();
}

runtime::Task<std::optional<std::string>> TunnelHostService::doSend(std::string identifier,
                                                                    std::string message,
                                                                    bool wantsReply) {
  find(identifier);
  if (!run_ || run_->identifier != identifier || run_->stopping) {
    runtime::fail(TunnelHostError::notRunning);
  }
  auto provider = run_->provider.provider;
  auto initiation = [provider, strand = strand(),
                     message = std::move(message)](auto handler) mutable {
    auto shared = std::make_shared<decltype(handler)>(std::move(handler));
    provider->handleAppMessage(
        std::move(message), [shared, strand](std::optional<std::string> reply) {
          // The awaiting operation resumes on the strand, not on the provider's thread.
          asio::post(strand,
                     [shared, reply = std::move(reply)]() mutable { (*shared)(std::move(reply)); });
        });
  };
  auto reply = co_await asio::async_initiate<decltype(asio::use_awaitable),
                                             void(std::optional<std::string>)>(
      std::move(initiation), asio::use_awaitable);
  if (!wantsReply) co_return std::nullopt;
  co_return reply;
}

std::vector<platform::TunnelConfiguration>::iterator TunnelHostService::find(
    const std::string& identifier) {
  auto found =
      std::ranges::find(configurations_, identifier, &platform::TunnelConfiguration::identifier);
  if (found == configurations_.end()) runtime::fail(TunnelHostError::notFound);
  return found;
}

void TunnelHostService::persist(std::vector<platform::TunnelConfiguration> configurations) {
  // Memory follows the file only once the file holds the change.
  store_.save(configurations);
  configurations_ = std::move(configurations);
}

void TunnelHostService::started(std::uint64_t number, std::exception_ptr error) {
  // A start that ends after a stop was asked for has nothing left to report.
  if (!isCurrent(number) || run_->stopping) return;
  if (!error) {
    setStatus(run_->identifier, run_->provider.provider->reasserting() ? TunnelStatus::reasserting
                                                                       : TunnelStatus::connected);
    return;
  }
  connections_[run_->identifier].lastDisconnectError = tunnelErrorInfo(error);
  // The provider takes down what the failed start left; the status stays
  // connecting until it has.
  beginStop(false);
}

void TunnelHostService::reassertingChanged(std::uint64_t number, bool reasserting) {
  if (!isCurrent(number) || run_->stopping) return;
  auto status = connections_[run_->identifier].status;
  if (status != TunnelStatus::connected && status != TunnelStatus::reasserting) return;
  auto next = reasserting ? TunnelStatus::reasserting : TunnelStatus::connected;
  if (next != status) setStatus(run_->identifier, next);
}

void TunnelHostService::failed(std::uint64_t number, std::exception_ptr error) {
  // After a stop was asked for, the stop's own completion ends the run.
  if (!isCurrent(number) || run_->stopping) return;
  connections_[run_->identifier].lastDisconnectError = tunnelErrorInfo(error);
  // Everything is down already: the run ends here, as after a failed start.
  stopped(number);
}

void TunnelHostService::beginStop(bool announce) {
  run_->stopping = true;
  if (announce) setStatus(run_->identifier, TunnelStatus::disconnecting);
  std::weak_ptr<TunnelHostService> weak = weak_from_this();
  run_->provider.provider->stopTunnel([weak, strand = strand(), number = run_->number] {
    asio::post(strand, [weak, number] {
      if (auto self = weak.lock()) self->stopped(number);
    });
  });
}

void TunnelHostService::stopped(std::uint64_t number) {
  if (!isCurrent(number)) return;
  auto run = std::move(*run_);
  run_.reset();
  // However the run ended, it ended cleanly: nothing to start again.
  running_.remove();
  if (run.provider.stopped) run.provider.stopped();
  run.provider.provider.reset();
  if (connections_.contains(run.identifier)) setStatus(run.identifier, TunnelStatus::disconnected);
  auto waiters = std::exchange(runEndWaiters_, {});
  for (auto& waiter : waiters) asio::post(strand(), std::move(waiter));
}

runtime::Task<void> TunnelHostService::runEnded() {
  auto initiation = [this](auto handler) {
    auto shared = std::make_shared<decltype(handler)>(std::move(handler));
    runEndWaiters_.push_back([shared] { (*shared)(); });
  };
  co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(std::move(initiation),
                                                                       asio::use_awaitable);
}

void TunnelHostService::setStatus(const std::string& identifier, TunnelStatus status) {
  connections_[identifier].status = status;
  std::map<std::uint64_t, StatusObserver> observers;
  {
    std::lock_guard lock(observersMutex_);
    observers = observers_;
  }
  platform::TunnelStatusChange change{identifier, status};
  for (auto& [token, observer] : observers) observer(change);
}

}  // namespace flowgate::daemon
