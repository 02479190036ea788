#pragma once

// The daemon's control socket: serves a TunnelHost to local clients over a Unix
// stream socket. Root and members of the control group (primary or
// supplementary) may use it; every request of anyone else is answered with
// EACCES. Each client has its own strand, its requests run concurrently, and
// its unsent output is bounded: a client that stops reading is dropped.

#include "flowgate/daemon/socket_file.hpp"
#include "platform/tunnel_host.hpp"
#include "runtime/async.hpp"

#include <boost/asio/local/stream_protocol.hpp>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
  };
  std::map<std::uint64_t, Entry> clients_;
};

}  // namespace flowgate::daemon
