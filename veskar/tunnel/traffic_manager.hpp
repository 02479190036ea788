#pragma once

// Keeps the account's traffic figures current: one fetch when monitoring
// starts, then one every 30 seconds. Failed fetches keep the last good figures
// and are retried at the next period. Lives on the application's main executor.

#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/control/observers.hpp"
#include "veskar/control/traffic_info.hpp"

#include <memory>
#include <optional>

namespace veskar {

class TrafficManager final : public runtime::Serialized,
                             public std::enable_shared_from_this<TrafficManager> {
 public:
  static constexpr double refreshInterval = 30;

  static std::shared_ptr<TrafficManager> create(const runtime::Executor& mainExecutor,
                                                std::shared_ptr<runtime::Clock> clock);
  // Wakes a sleeping loop, which then finds the manager gone.
  ~TrafficManager();

  // Published state; read on the main executor.
  bool isLoading() const { return isLoading_; }
  const std::optional<TrafficInfo>& currentTraffic() const { return currentTraffic_; }
  Observers& observers() { return observers_; }

  // Replaces any running loop: fetches once (isLoading meanwhile), then starts
  // the periodic loop, which holds this manager and `source` weakly and ends
  // when either is gone.
  runtime::Task<void> startMonitoring(std::weak_ptr<TrafficSource> source);
  // Cancels and clears the loop (sign-out); a loop woken from its sleep may run
  // one last fetch.
  void cancelMonitoring();
  bool isMonitoring() const { return static_cast<bool>(monitoringTask_); }

 private:
  TrafficManager(const runtime::Executor& mainExecutor, std::shared_ptr<runtime::Clock> clock);

  runtime::Task<void> startMonitoringOnStrand(std::weak_ptr<TrafficSource> source);
  runtime::Task<void> fetch(std::shared_ptr<TrafficSource> source);
  static runtime::Task<void> loop(std::weak_ptr<TrafficManager> self,
                                  std::weak_ptr<TrafficSource> source,
                                  std::shared_ptr<runtime::Clock> clock,
                                  runtime::CancelToken token);

  std::shared_ptr<runtime::Clock> clock_;
  bool isLoading_ = false;
  std::optional<TrafficInfo> currentTraffic_;
  runtime::TaskHandle monitoringTask_;
  Observers observers_;
};

}  // namespace veskar
