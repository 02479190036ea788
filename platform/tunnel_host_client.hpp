#pragma once

// The app's side of the tunnel daemon's control socket: a TunnelHost whose
// operations are requests over one Unix socket connection. The connection is
// opened at the first operation and again after it was lost; calls waiting
// when it is lost fail with TunnelHostError::connectionLost, and one the daemon
// leaves unanswered past the deadline with TunnelHostError::notResponding.
// While observers are registered the connection subscribes to status events,
// which reach the observers on the executor given at creation, in order;
// without a connection the client keeps reopening one in the background for
// them, less and less often, and tells the reachability observers when the
// daemon went away and when it answers again.

#include "platform/tunnel_host.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "runtime/async.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

class TunnelHostClient final : public TunnelHost,
                               public std::enable_shared_from_this<TunnelHostClient> {
 public:
  // Longer than the daemon's slowest answer: a stop that waits for the tunnel to end.
  static constexpr std::chrono::milliseconds defaultDeadline{15000};

  static std::shared_ptr<TunnelHostClient> create(
      runtime::Executor executor, std::filesystem::path path = "/run/veskar/flowgate.sock",
      std::chrono::milliseconds deadline = defaultDeadline);
  ~TunnelHostClient() override;
  TunnelHostClient(const TunnelHostClient&) = delete;
  TunnelHostClient& operator=(const TunnelHostClient&) = delete;

  runtime::Task<std::vector<TunnelConfiguration>> loadAllFromPreferences() override;
  runtime::Task<TunnelConfiguration> saveToPreferences(TunnelConfiguration configuration) override;
  runtime::Task<TunnelConfiguration> loadFromPreferences(std::string identifier) override;
  runtime::Task<void> removeFromPreferences(std::string identifier) override;
  runtime::Task<void> startVPNTunnel(std::string identifier, TunnelStartOptions options) override;
  runtime::Task<void> stopVPNTunnel(std::string identifier) override;
  runtime::Task<TunnelConnection> connection(std::string identifier) override;
  runtime::Task<bool> lockdown() override;
  runtime::Task<void> setLockdown(bool enabled) override;
  runtime::Task<std::optional<std::string>> sendProviderMessage(std::string identifier,
                                                                std::string message,
                                                                bool wantsReply) override;

  std::uint64_t addStatusObserver(StatusObserver observer) override;
  void removeStatusObserver(std::uint64_t token) override;
  std::uint64_t addReachabilityObserver(ReachabilityObserver observer) override;
  void removeReachabilityObserver(std::uint64_t token) override;

 private:
  struct Link;
  struct Pending;
  struct Connecting;

  TunnelHostClient(runtime::Executor executor, std::filesystem::path path,
                   std::chrono::milliseconds deadline);

  // The result of one request; runs on the strand.
  runtime::Task<boost::json::value> roundTrip(tunnel_protocol::Request request);
  static runtime::Task<boost::json::value> call(std::shared_ptr<TunnelHostClient> self,
                                                tunnel_protocol::Request request);
  static runtime::Task<void> subscribeNow(std::shared_ptr<TunnelHostClient> self);
  static runtime::Task<void> readLoop(std::weak_ptr<TunnelHostClient> weak,
                                      std::shared_ptr<Link> link);
  static runtime::Task<void> writeLoop(std::shared_ptr<Link> link);
  static runtime::Task<void> resubscribe(std::weak_ptr<TunnelHostClient> weak);
  // The rest runs on the strand.
  runtime::Task<std::shared_ptr<Link>> currentLink();
  void send(const std::shared_ptr<Link>& link, std::string frame);
  void subscribeIfObserved(const std::shared_ptr<Link>& link);
  void receive(const std::shared_ptr<Link>& link, tunnel_protocol::Incoming incoming);
  void lose(const std::shared_ptr<Link>& link);
  void resubscribeLater();
  bool hasObservers();
  // Tells the reachability observers once per change.
  void announce(bool reachable);
  // Tells every observer in `observers` of `value` on the observer strand, from
  // a copy taken there, so an observer may add or remove observers.
  template <class Observer, class Value>
  void notify(std::map<std::uint64_t, Observer> TunnelHostClient::*observers, Value value);

  // On the caller's executor, in order even when that executor has many threads.
  runtime::Strand observerStrand_;
  runtime::Strand strand_;  // the fields below, up to the mutex
  std::filesystem::path path_;
  std::chrono::milliseconds deadline_;
  std::shared_ptr<Link> link_;
  std::shared_ptr<Connecting> connecting_;
  std::uint64_t nextRequest_ = 0;
  bool resubscribing_ = false;
  bool announcedLoss_ = false;

  std::mutex observersMutex_;  // observers are added and removed from any thread
  std::map<std::uint64_t, StatusObserver> observers_;
  std::map<std::uint64_t, ReachabilityObserver> reachabilityObservers_;
  std::uint64_t nextObserver_ = 0;
};

}  // namespace platform
