#pragma once

// One client of the control socket, on its own strand: reads frames, answers
// each request as it completes (requests run concurrently), and writes replies
// and events from a bounded queue. A client whose unsent output passes the
// bound is closed, so a client that stops reading never holds anyone up; so is
// one that stays idle without a subscription. A client that may not control
// the tunnel is refused at its first frame, which is never decoded.

#include "platform/tunnel_host.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "runtime/async.hpp"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace flowgate::daemon {

class ControlSocketServer;

class ControlConnection : public std::enable_shared_from_this<ControlConnection> {
 public:
  struct Settings {
    std::uint64_t key = 0;  // the server's name for this client
    bool allowed = false;   // whether the peer may control the tunnel
    std::size_t maxQueuedBytes = 0;
    std::string group;  // the control group, named in a refusal
    uid_t uid = 0;
    std::chrono::steady_clock::duration idleTimeout = std::chrono::minutes(1);
    std::function<void(const platform::TunnelStartOptions&, uid_t)> admitStart = {};
  };

  // `socket` runs on `strand`.
  ControlConnection(boost::asio::local::stream_protocol::socket socket, runtime::Strand strand,
                    std::weak_ptr<ControlSocketServer> server,
                    std::shared_ptr<platform::TunnelHost> host, Settings settings);

  // Requests of one client running at once; reading pauses beyond.
  static constexpr std::size_t maxRequestsInFlight = 64;

  // Starts reading. Call once, after construction.
  void start();
  // Queues one frame; from any thread.
  void post(std::string frame);
  // Closes the socket; from any thread.
  void close();

 private:
  static runtime::Task<void> readLoop(std::shared_ptr<ControlConnection> self);
  static runtime::Task<void> writeLoop(std::shared_ptr<ControlConnection> self);
  static runtime::Task<void> idleLoop(std::shared_ptr<ControlConnection> self);
  static runtime::Task<void> serve(std::shared_ptr<ControlConnection> self,
                                   platform::tunnel_protocol::Request request);
  runtime::Task<boost::json::value> perform(platform::tunnel_protocol::Request request);
  // The rest runs on the strand.
  void handle(const std::string& payload);
  void refuse();
  // Tells the server how much memory the unfinished request holds.
  void reportPartial();
  void send(std::string frame);
  void closeNow();

  boost::asio::local::stream_protocol::socket socket_;
  runtime::Strand strand_;
  std::weak_ptr<ControlSocketServer> server_;
  std::shared_ptr<platform::TunnelHost> host_;
  Settings settings_;
  platform::tunnel_protocol::FrameDecoder decoder_{platform::tunnel_protocol::maxRequestLength};
  std::deque<std::string> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t inFlight_ = 0;
  std::optional<boost::asio::steady_timer> resume_;  // wakes the paused reader
  boost::asio::steady_timer idle_;
  std::chrono::steady_clock::time_point lastActivity_;
  std::size_t reportedPartial_ = 0;
  bool subscribed_ = false;
  bool writing_ = false;
  bool closing_ = false;  // the last frame is queued; close once it is written
  bool closed_ = false;
};

}  // namespace flowgate::daemon
