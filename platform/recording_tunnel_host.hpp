#pragma once

// A tunnel host for tests: keeps configurations in memory, records every
// start, stop and provider message, and drives the status as the test says.
// Single-threaded: use it from one executor.

#include "platform/tunnel_host.hpp"
#include "runtime/error.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <map>
#include <utility>

namespace platform {

class RecordingTunnelHost final : public TunnelHost {
 public:
  struct Start {
    std::string identifier;
    TunnelStartOptions options;
  };
  struct Message {
    std::string identifier;
    std::string message;
    bool wantsReply = false;
  };

  // Observers are told on `executor`.
  explicit RecordingTunnelHost(runtime::Executor executor) : executor_(std::move(executor)) {}

  runtime::Task<std::vector<TunnelConfiguration>> loadAllFromPreferences() override {
    throwIfFailing();
    co_return configurations;
  }
  runtime::Task<TunnelConfiguration> saveToPreferences(TunnelConfiguration configuration) override {
    throwIfFailing();
    ++saves;
    if (configuration.identifier.empty()) {
      configuration.identifier = "configuration-" + std::to_string(++nextIdentifier_);
      configurations.push_back(configuration);
    } else {
      *find(configuration.identifier) = configuration;
    }
    if (!connections_.contains(configuration.identifier))
      connections_[configuration.identifier].status = TunnelStatus::disconnected;
    co_return configuration;
  }
  runtime::Task<TunnelConfiguration> loadFromPreferences(std::string identifier) override {
    throwIfFailing();
    co_return *find(identifier);
  }
  runtime::Task<void> removeFromPreferences(std::string identifier) override {
    throwIfFailing();
    configurations.erase(find(identifier));
    connections_.erase(identifier);
    co_return;
  }

  runtime::Task<void> startVPNTunnel(std::string identifier, TunnelStartOptions options) override {
    throwIfFailing();
    find(identifier);
    starts.push_back({identifier, std::move(options)});
    if (startFailure) throw runtime::SystemError(startFailure);
    setStatus(identifier, TunnelStatus::connecting);
    if (statusAfterStart) setStatus(identifier, *statusAfterStart);
    co_return;
  }
  runtime::Task<void> stopVPNTunnel(std::string identifier) override {
    throwIfFailing();
    stops.push_back(identifier);
    if (connections_.contains(identifier)) setStatus(identifier, TunnelStatus::disconnected);
    co_return;
  }
  runtime::Task<TunnelConnection> connection(std::string identifier) override {
    throwIfFailing();
    ++connectionReads;
    auto found = connections_.find(identifier);
    co_return found == connections_.end() ? TunnelConnection{} : found->second;
  }
  runtime::Task<std::optional<std::string>> sendProviderMessage(std::string identifier,
                                                                std::string message,
                                                                bool wantsReply) override {
    throwIfFailing();
    messages.push_back({identifier, message, wantsReply});
    if (!replyToMessage || !wantsReply) co_return std::nullopt;
    co_return replyToMessage(message);
  }

  runtime::Task<bool> lockdown() override {
    throwIfFailing();
    co_return lockdownEnabled;
  }
  runtime::Task<void> setLockdown(bool enabled) override {
    throwIfFailing();
    lockdownSets.push_back(enabled);
    lockdownEnabled = enabled;
    co_return;
  }

  std::uint64_t addStatusObserver(StatusObserver observer) override {
    observers_.emplace(++nextObserver_, std::move(observer));
    return nextObserver_;
  }
  void removeStatusObserver(std::uint64_t token) override { observers_.erase(token); }
  std::uint64_t addReachabilityObserver(ReachabilityObserver observer) override {
    reachabilityObservers_.emplace(++nextObserver_, std::move(observer));
    return nextObserver_;
  }
  void removeReachabilityObserver(std::uint64_t token) override {
    reachabilityObservers_.erase(token);
  }

  // Tells the reachability observers (posted, in order with the statuses).
  void setReachable(bool reachable) {
    boost::asio::post(executor_, [this, reachable] {
      auto observers = reachabilityObservers_;
      for (auto& [token, observer] : observers) observer(reachable);
    });
  }

  // Sets the connection's status and tells the observers (posted, in order).
  void setStatus(const std::string& identifier, TunnelStatus status) {
    connections_[identifier].status = status;
    boost::asio::post(executor_, [this, change = TunnelStatusChange{identifier, status}] {
      auto observers = observers_;
      for (auto& [token, observer] : observers) observer(change);
    });
  }
  void setLastDisconnectError(const std::string& identifier, TunnelErrorInfo error) {
    connections_[identifier].lastDisconnectError = std::move(error);
  }
  std::size_t observerCount() const { return observers_.size(); }

  // What the test sets.
  std::vector<TunnelConfiguration> configurations;
  runtime::ErrorCode failure;       // every operation fails with it
  runtime::ErrorCode startFailure;  // startVPNTunnel fails with it
  // The status a start moves to after "connecting"; nothing leaves it connecting.
  std::optional<TunnelStatus> statusAfterStart = TunnelStatus::connected;
  std::function<std::optional<std::string>(const std::string&)> replyToMessage;
  bool lockdownEnabled = false;

  // What was asked.
  std::vector<Start> starts;
  std::vector<std::string> stops;
  std::vector<Message> messages;
  std::vector<bool> lockdownSets;
  std::size_t saves = 0;
  std::size_t connectionReads = 0;

 private:
  void throwIfFailing() const {
    if (failure) throw runtime::SystemError(failure);
  }
  std::vector<TunnelConfiguration>::iterator find(const std::string& identifier) {
    auto found = std::ranges::find(configurations, identifier, &TunnelConfiguration::identifier);
    if (found == configurations.end()) runtime::fail(TunnelHostError::notFound);
    return found;
  }

  runtime::Executor executor_;
  std::map<std::string, TunnelConnection> connections_;
  std::map<std::uint64_t, StatusObserver> observers_;
  std::map<std::uint64_t, ReachabilityObserver> reachabilityObservers_;
  std::uint64_t nextObserver_ = 0;
  std::uint64_t nextIdentifier_ = 0;
};

}  // namespace platform
