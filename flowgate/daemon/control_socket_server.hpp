#pragma once

// The daemon's control socket: serves a TunnelHost to local clients over a Unix
// stream socket. Root and members of the control group (primary or
// supplementary) may use it; anyone else's first request is answered with
// EACCES, unread, and the connection closed. Each client has its own strand,
// its requests run concurrently, and its unsent output is bounded: a client
// that stops reading is dropped.
//
// No user can starve the others or the machine: connections are counted per
// user and in all (the last few places are root's, so root is always served),
// the unfinished requests of all clients share one memory bound (beyond it
// the client holding most is dropped), and a client that neither subscribed
// nor asked anything for a while is closed.

#include "flowgate/daemon/peer_credentials.hpp"
#include "flowgate/daemon/socket_file.hpp"
#include "platform/tunnel_host.hpp"
#include "runtime/async.hpp"

#include <boost/asio/local/stream_protocol.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace flowgate::daemon {

class ControlConnection;

struct ControlSocketOptions {
  // Its directory is made 0755 when missing; the socket is 0660.
  std::filesystem::path path = "/run/veskar/flowgate.sock";
  // The socket's group and the group allowed to control (root always is).
  std::string group = "veskar";
  // A client whose unsent replies and events exceed this is dropped.
  std::size_t maxQueuedBytes = 4 << 20;
  // Connections of one user other than root, and of everyone; the last
  // `rootReserve` places are only root's.
  std::size_t maxConnectionsPerUser = 16;
  std::size_t maxConnections = 256;
  std::size_t rootReserve = 16;
  // Memory held by unfinished requests across every client.
  std::size_t maxPartialBytes = 16 << 20;
  // A client that neither subscribed nor sent anything for this long is closed.
  std::chrono::steady_clock::duration idleTimeout = std::chrono::minutes(1);
  // Vets a start for its caller before the host sees it (throws the refusal).
  std::function<void(const platform::TunnelStartOptions&, uid_t caller)> admitStart = {};
};

class ControlSocketServer : public std::enable_shared_from_this<ControlSocketServer> {
 public:
  static std::shared_ptr<ControlSocketServer> create(runtime::Executor executor,
                                                     std::shared_ptr<platform::TunnelHost> host,
                                                     ControlSocketOptions options);
  ~ControlSocketServer();
  ControlSocketServer(const ControlSocketServer&) = delete;
  ControlSocketServer& operator=(const ControlSocketServer&) = delete;

  // Binds (replacing a stale socket file), accepts; throws runtime::SystemError
  // on failure. Call start and stop where the host's observers may be added.
  void start();
  // Closes the listener and every client; removes the socket file.
  void stop();

 private:
  ControlSocketServer(runtime::Executor executor, std::shared_ptr<platform::TunnelHost> host,
                      ControlSocketOptions options);

  using Acceptor = boost::asio::local::stream_protocol::acceptor;

  friend class ControlConnection;

  static runtime::Task<void> acceptLoop(std::shared_ptr<ControlSocketServer> self);
  void admit(boost::asio::local::stream_protocol::socket socket, runtime::Strand strand);
  bool hasRoomFor(uid_t uid) const;
  // For connections: how much memory its unfinished request holds now.
  void partialChanged(std::uint64_t client, std::size_t held);
  void broadcast(const platform::TunnelStatusChange& change);
  void closeAll();
  // For connections: events from now on reach this client; it closed.
  runtime::Task<void> subscribe(std::uint64_t client);
  void forget(std::uint64_t client);

  runtime::Executor executor_;
  runtime::Strand strand_;  // the fields below
  std::shared_ptr<platform::TunnelHost> host_;
  ControlSocketOptions options_;
  gid_t group_ = 0;
  std::optional<Acceptor> acceptor_;
  std::optional<std::uint64_t> observerToken_;
  // The socket file this server bound, so stop() never removes a successor's.
  std::optional<FileIdentity> socketFile_;
  bool stopped_ = false;
  std::uint64_t nextClient_ = 0;
  struct Entry {
    std::shared_ptr<ControlConnection> connection;
    bool subscribed = false;
    uid_t uid = 0;
    std::size_t partialBytes = 0;
    bool dropped = false;  // over the memory bound, closing
  };
  std::map<std::uint64_t, Entry> clients_;
  std::map<uid_t, std::size_t> perUser_;
  std::size_t partialBytes_ = 0;
};

}  // namespace flowgate::daemon
