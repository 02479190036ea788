#include "veskar/tunnel/traffic_manager.hpp"

#include <exception>

namespace veskar {

std::shared_ptr<TrafficManager> TrafficManager::create(const runtime::Executor& mainExecutor,
                                                       std::shared_ptr<runtime::Clock> clock) {
  return std::shared_ptr<TrafficManager>(new TrafficManager(mainExecutor, std::move(clock)));
}

TrafficManager::TrafficManager(const runtime::Executor& mainExecutor,
                               std::shared_ptr<runtime::Clock> clock)
    : Serialized(mainExecutor), clock_(std::move(clock)) {}

TrafficManager::~TrafficManager() { monitoringTask_.cancel(); }

runtime::Task<void> TrafficManager::startMonitoring(std::weak_ptr<TrafficSource> source) {
  return serialized(startMonitoringOnStrand(std::move(source)));
}

void TrafficManager::cancelMonitoring() {
  monitoringTask_.cancel();
  monitoringTask_ = {};
}

runtime::Task<void> TrafficManager::startMonitoringOnStrand(std::weak_ptr<TrafficSource> source) {
  cancelMonitoring();
  isLoading_ = true;
  observers_.notify();
  if (auto strong = source.lock()) co_await fetch(std::move(strong));
  isLoading_ = false;
  observers_.notify();
  std::weak_ptr<TrafficManager> self = shared_from_this();
  auto clock = clock_;
  monitoringTask_ = runtime::TaskHandle::start(
      strand(), [self, source, clock](runtime::CancelToken token) -> runtime::Task<void> {
        auto manager = self.lock();
        if (!manager) co_return;
        auto strand = manager->strand();
        manager.reset();
        co_await runtime::runOn<void>(strand, loop(self, source, clock, token));
      });
}

runtime::Task<void> TrafficManager::fetch(std::shared_ptr<TrafficSource> source) {
  try {
    currentTraffic_ = co_await source->fetchTraffic();
    observers_.notify();
  } catch (const std::exception&) {
    // The next period tries again.
  }
}

runtime::Task<void> TrafficManager::loop(std::weak_ptr<TrafficManager> self,
                                         std::weak_ptr<TrafficSource> source,
                                         std::shared_ptr<runtime::Clock> clock,
                                         runtime::CancelToken token) {
  while (!token.isCancelled()) {
    try {
      co_await clock->sleep(refreshInterval, token);
    } catch (const runtime::CancellationError&) {
      // A cancelled sleep still ends in one more fetch; the check above stops the loop.
    }
    auto manager = self.lock();
    auto strong = source.lock();
    if (!manager || !strong) co_return;
    co_await manager->fetch(std::move(strong));
  }
}

}  // namespace veskar
