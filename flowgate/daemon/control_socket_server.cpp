#include "flowgate/daemon/control_socket_server.hpp"

#include "flowgate/daemon/control_connection.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace flowgate::daemon {

namespace asio = boost::asio;
namespace protocol = platform::tunnel_protocol;
using Endpoint = asio::local::stream_protocol::endpoint;

std::shared_ptr<ControlSocketServer> ControlSocketServer::create(
    runtime::Executor executor, std::shared_ptr<platform::TunnelHost> host,
    ControlSocketOptions options) {
  return std::shared_ptr<ControlSocketServer>(
      new ControlSocketServer(std::move(executor), std::move(host), std::move(options)));
}

ControlSocketServer::ControlSocketServer(runtime::Executor executor,
                                         std::shared_ptr<platform::TunnelHost> host,
                                         ControlSocketOptions options)
    : executor_(executor),
      strand_(asio::make_strand(executor)),
      host_(std::move(host)),
      options_(std::move(options)) {}

ControlSocketServer::~ControlSocketServer() {
  if (observerToken_) host_->removeStatusObserver(*observerToken_);
  if (socketFile_) removeSocketFile(options_.path, *socketFile_);
}

void ControlSocketServer::start() {
  group_ = groupNamed(options_.group);
  prepareSocketPath(options_.path);
  Acceptor acceptor(strand_);
  // Close-on-exec from the start: programs the daemon runs must not inherit the listener.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()),
                               "socket");
  }
  acceptor.assign(asio::local::stream_protocol(), fd);
  acceptor.bind(Endpoint(options_.path.native()));
  try {
    socketFile_ = restrictSocketFile(options_.path, group_);
    acceptor.listen();
  } catch (const runtime::SystemError&) {
    ::unlink(options_.path.c_str());
    socketFile_.reset();
    throw;
  }
  acceptor_.emplace(std::move(acceptor));

  observerToken_ = host_->addStatusObserver(
      [weak = weak_from_this()](const platform::TunnelStatusChange& change) {
        if (auto self = weak.lock())
          asio::post(self->strand_, [self, change] { self->broadcast(change); });
      });
  runtime::spawn(strand_, acceptLoop(shared_from_this()));
}

void ControlSocketServer::stop() {
  if (observerToken_) {
    host_->removeStatusObserver(*observerToken_);
    observerToken_.reset();
  }
  if (socketFile_) {
    removeSocketFile(options_.path, *socketFile_);
    socketFile_.reset();
  }
  asio::dispatch(strand_, [self = shared_from_this()] { self->closeAll(); });
}

runtime::Task<void> ControlSocketServer::acceptLoop(std::shared_ptr<ControlSocketServer> self) {
  while (!self->stopped_) {
    runtime::Strand strand = asio::make_strand(self->executor_);
    auto [error, socket] =
        co_await self->acceptor_->async_accept(runtime::Executor(strand), runtime::asTuple);
    if (self->stopped_ || error == asio::error::operation_aborted) co_return;
    if (error) {
      // Out of descriptors or memory: give the clients a moment to leave.
      asio::steady_timer pause(self->strand_, std::chrono::milliseconds(100));
      co_await pause.async_wait(runtime::asTuple);
      continue;
    }
    self->admit(std::move(socket), std::move(strand));
  }
}

void ControlSocketServer::admit(asio::local::stream_protocol::socket socket,
                                runtime::Strand strand) {
  // Asio accepts without SOCK_CLOEXEC.
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
  PeerCredentials peer;
  try {
    peer = peerCredentials(socket.native_handle());
  } catch (const runtime::SystemError&) {
    return;  // the peer left before we could ask who it was
  }
  if (!hasRoomFor(peer.uid)) {
    // Told why, if its socket takes the frame at once; never waited for.
    auto refusal = protocol::frame(protocol::encodeError(
        std::nullopt, protocol::errorInfo(
                          runtime::makeErrorCode(platform::TunnelHostError::tooManyConnections))));
    [[maybe_unused]] auto sent =
        ::send(socket.native_handle(), refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return;
  }
  ControlConnection::Settings settings{
      .key = ++nextClient_,
      .allowed = mayControl(peer, group_),
      .maxQueuedBytes = options_.maxQueuedBytes,
      .group = options_.group,
      .uid = peer.uid,
      .idleTimeout = options_.idleTimeout,
      .admitStart = options_.admitStart,
  };
  auto connection = std::make_shared<ControlConnection>(std::move(socket), std::move(strand),
                                                        weak_from_this(), host_, settings);
  clients_.emplace(settings.key, Entry{connection, false, peer.uid, 0});
  ++perUser_[peer.uid];
  connection->start();
}

bool ControlSocketServer::hasRoomFor(uid_t uid) const {
  if (uid == 0) return clients_.size() < options_.maxConnections;
  auto found = perUser_.find(uid);
  std::size_t held = found == perUser_.end() ? 0 : found->second;
  return held < options_.maxConnectionsPerUser &&
         clients_.size() + options_.rootReserve < options_.maxConnections;
}

void ControlSocketServer::partialChanged(std::uint64_t client, std::size_t held) {
  auto found = clients_.find(client);
  if (found == clients_.end() || found->second.dropped) return;
  partialBytes_ = partialBytes_ - found->second.partialBytes + held;
  found->second.partialBytes = held;
  while (partialBytes_ > options_.maxPartialBytes) {
    auto largest = std::ranges::max_element(
        clients_, {}, [](const auto& entry) { return entry.second.partialBytes; });
    partialBytes_ -= largest->second.partialBytes;
    largest->second.partialBytes = 0;
    largest->second.dropped = true;
    largest->second.connection->close();
  }
}

void ControlSocketServer::broadcast(const platform::TunnelStatusChange& change) {
  if (stopped_) return;
  auto frame = protocol::frame(protocol::encodeEvent(change));
  // Posted from this one strand, the events reach each client's strand in order.
  for (auto& [key, entry] : clients_)
    if (entry.subscribed) entry.connection->post(frame);
}

runtime::Task<void> ControlSocketServer::subscribe(std::uint64_t client) {
  if (auto found = clients_.find(client); found != clients_.end()) found->second.subscribed = true;
  co_return;
}

void ControlSocketServer::forget(std::uint64_t client) {
  // Posted: a connection may close while broadcast() walks the clients.
  asio::post(strand_, [self = shared_from_this(), client] {
    auto found = self->clients_.find(client);
    if (found == self->clients_.end()) return;
    self->partialBytes_ -= found->second.partialBytes;
    if (auto user = self->perUser_.find(found->second.uid);
        user != self->perUser_.end() && --user->second == 0) {
      self->perUser_.erase(user);
    }
    self->clients_.erase(found);
  });
}

void ControlSocketServer::closeAll() {
  stopped_ = true;
  if (acceptor_) {
    boost::system::error_code ignored;
    acceptor_->close(ignored);
  }
  auto clients = std::move(clients_);
  clients_.clear();
  perUser_.clear();
  partialBytes_ = 0;
  for (auto& [key, entry] : clients) entry.connection->close();
}

}  // namespace flowgate::daemon
