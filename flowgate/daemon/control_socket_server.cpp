#include "flowgate/daemon/control_socket_server.hpp"

#include "flowgate/daemon/control_connection.hpp"
#include "flowgate/daemon/peer_credentials.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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
  bool allowed = false;
  try {
    allowed = mayControl(peerCredentials(socket.native_handle()), group_);
  } catch (const runtime::SystemError&) {
    return;  // the peer left before we could ask who it was
  }
  ControlConnection::Settings settings{++nextClient_, allowed, options_.maxQueuedBytes,
                                       options_.group};
  auto connection = std::make_shared<ControlConnection>(std::move(socket), std::move(strand),
                                                        weak_from_this(), host_, settings);
  clients_.emplace(settings.key, Entry{connection, false});
  connection->start();
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
  asio::post(strand_, [self = shared_from_this(), client] { self->clients_.erase(client); });
}

void ControlSocketServer::closeAll() {
  stopped_ = true;
  if (acceptor_) {
    boost::system::error_code ignored;
    acceptor_->close(ignored);
  }
  auto clients = std::move(clients_);
  clients_.clear();
  for (auto& [key, entry] : clients) entry.connection->close();
}

}  // namespace flowgate::daemon
