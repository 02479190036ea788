#include "flowgate/daemon/control_connection.hpp"

#include "flowgate/daemon/control_socket_server.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_category.hpp>

#include <array>
#include <cerrno>
#include <utility>

namespace flowgate::daemon {

namespace asio = boost::asio;
namespace protocol = platform::tunnel_protocol;
using platform::TunnelHostError;

namespace {

std::string errorFrame(std::optional<std::uint64_t> id, const runtime::ErrorCode& error) {
  return protocol::frame(protocol::encodeError(id, protocol::errorInfo(error)));
}

}  // namespace

ControlConnection::ControlConnection(asio::local::stream_protocol::socket socket,
                                     runtime::Strand strand,
                                     std::weak_ptr<ControlSocketServer> server,
                                     std::shared_ptr<platform::TunnelHost> host, Settings settings)
    : socket_(std::move(socket)),
      strand_(std::move(strand)),
      server_(std::move(server)),
      host_(std::move(host)),
      settings_(std::move(settings)),
      idle_(strand_),
      lastActivity_(std::chrono::steady_clock::now()) {}

void ControlConnection::start() {
  runtime::spawn(strand_, readLoop(shared_from_this()));
  runtime::spawn(strand_, idleLoop(shared_from_this()));
}

// Posted, never run inline: the server may be walking its clients.
void ControlConnection::post(std::string frame) {
  asio::post(strand_, [self = shared_from_this(), frame = std::move(frame)]() mutable {
    self->send(std::move(frame));
  });
}

void ControlConnection::close() {
  asio::post(strand_, [self = shared_from_this()] { self->closeNow(); });
}

runtime::Task<void> ControlConnection::readLoop(std::shared_ptr<ControlConnection> self) {
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    while (auto payload = self->decoder_.next()) {
      if (!self->settings_.allowed) {
        self->refuse();
        co_return;
      }
      self->handle(*payload);
      // A client may not pile up work: read on once some of it is done.
      while (self->inFlight_ >= maxRequestsInFlight && !self->closed_) {
        self->resume_.emplace(self->strand_, asio::steady_timer::time_point::max());
        co_await self->resume_->async_wait(runtime::asTuple);
      }
      if (self->closed_) co_return;
    }
    if (self->decoder_.broken()) {
      // The stream cannot be resynchronised: answer once and hang up.
      self->send(errorFrame(std::nullopt, TunnelHostError::messageTooLarge));
      self->closing_ = true;
      if (!self->writing_) self->closeNow();
      co_return;
    }
    auto [error, count] =
        co_await self->socket_.async_read_some(asio::buffer(buffer), runtime::asTuple);
    if (error || self->closed_) {
      self->closeNow();
      co_return;
    }
    self->lastActivity_ = std::chrono::steady_clock::now();
    self->decoder_.append(std::span(buffer.data(), count));
    self->reportPartial();
  }
}

runtime::Task<void> ControlConnection::idleLoop(std::shared_ptr<ControlConnection> self) {
  while (!self->closed_ && !self->subscribed_) {
    self->idle_.expires_at(self->lastActivity_ + self->settings_.idleTimeout);
    co_await self->idle_.async_wait(runtime::asTuple);
    if (self->closed_ || self->subscribed_) co_return;
    auto now = std::chrono::steady_clock::now();
    // A request still running (a slow start, a stop) is not idleness.
    if (self->inFlight_ > 0) self->lastActivity_ = now;
    if (now >= self->lastActivity_ + self->settings_.idleTimeout) self->closeNow();
  }
}

void ControlConnection::reportPartial() {
  auto held = decoder_.held();
  if (held == reportedPartial_) return;
  reportedPartial_ = held;
  if (auto server = server_.lock()) {
    asio::post(server->strand_,
               [server, key = settings_.key, held] { server->partialChanged(key, held); });
  }
}

void ControlConnection::refuse() {
  auto refusal = protocol::errorInfo(runtime::ErrorCode(EACCES, boost::system::system_category()));
  // Without an id: every request the client has waiting gets it.
  send(protocol::frame(protocol::encodeError(std::nullopt, refusal, settings_.group)));
  closing_ = true;
  if (!writing_) closeNow();
}

void ControlConnection::handle(const std::string& payload) {
  auto decoded = protocol::decodeRequest(payload);
  if (decoded.error) {
    send(errorFrame(decoded.id, decoded.error));
  } else {
    ++inFlight_;
    runtime::spawn(strand_, serve(shared_from_this(), std::move(decoded.request)));
  }
}

runtime::Task<void> ControlConnection::serve(std::shared_ptr<ControlConnection> self,
                                             protocol::Request request) {
  std::string reply;
  try {
    auto work = self->perform(request);
    auto result = co_await std::move(work);
    reply = protocol::encodeResult(request.id, result);
  } catch (...) {
    reply = protocol::encodeError(request.id, protocol::errorInfo(std::current_exception()));
  }
  --self->inFlight_;
  self->lastActivity_ = std::chrono::steady_clock::now();
  if (self->resume_) self->resume_->cancel();
  if (reply.size() > protocol::maxFrameLength) {
    self->send(errorFrame(request.id, TunnelHostError::messageTooLarge));
  } else {
    self->send(protocol::frame(reply));
  }
}

runtime::Task<boost::json::value> ControlConnection::perform(protocol::Request request) {
  using protocol::Operation;
  auto host = host_;
  switch (request.operation) {
    case Operation::loadAll: {
      auto configurations = co_await host->loadAllFromPreferences();
      co_return protocol::encodeConfigurations(configurations);
    }
    case Operation::save: {
      auto work = host->saveToPreferences(std::move(request.configuration));
      auto stored = co_await std::move(work);
      co_return protocol::encodeConfiguration(stored);
    }
    case Operation::load: {
      auto work = host->loadFromPreferences(std::move(request.identifier));
      auto stored = co_await std::move(work);
      co_return protocol::encodeConfiguration(stored);
    }
    case Operation::remove: {
      auto work = host->removeFromPreferences(std::move(request.identifier));
      co_await std::move(work);
      co_return nullptr;
    }
    case Operation::start: {
      if (settings_.admitStart) settings_.admitStart(request.options, settings_.uid);
      auto work = host->startVPNTunnel(std::move(request.identifier), std::move(request.options));
      co_await std::move(work);
      co_return nullptr;
    }
    case Operation::stop: {
      auto work = host->stopVPNTunnel(std::move(request.identifier));
      co_await std::move(work);
      co_return nullptr;
    }
    case Operation::connection: {
      auto work = host->connection(std::move(request.identifier));
      auto connection = co_await std::move(work);
      co_return protocol::encodeConnection(connection);
    }
    case Operation::message: {
      auto work = host->sendProviderMessage(std::move(request.identifier),
                                            std::move(request.message), request.wantsReply);
      auto reply = co_await std::move(work);
      co_return protocol::encodeMessageReply(reply);
    }
    case Operation::getLockdown: {
      auto enabled = co_await host->lockdown();
      co_return protocol::encodeLockdown(enabled);
    }
    case Operation::setLockdown: {
      auto work = host->setLockdown(request.enabled);
      co_await std::move(work);
      co_return nullptr;
    }
    case Operation::subscribe: {
      auto server = server_.lock();
      if (!server) runtime::fail(TunnelHostError::connectionLost);
      auto work = server->subscribe(settings_.key);
      co_await runtime::runOn<void>(server->strand_, std::move(work));
      subscribed_ = true;
      idle_.cancel();
      co_return nullptr;
    }
  }
  runtime::fail(TunnelHostError::unknownOperation);
}

void ControlConnection::send(std::string frame) {
  if (closed_ || closing_) return;
  if (queuedBytes_ + frame.size() > settings_.maxQueuedBytes) {
    // It stopped reading (or reads too slowly to keep up): let it go.
    closeNow();
    return;
  }
  queuedBytes_ += frame.size();
  queue_.push_back(std::move(frame));
  if (!writing_) {
    writing_ = true;
    runtime::spawn(strand_, writeLoop(shared_from_this()));
  }
}

runtime::Task<void> ControlConnection::writeLoop(std::shared_ptr<ControlConnection> self) {
  while (!self->queue_.empty() && !self->closed_) {
    // The deque keeps the front in place while later frames are queued.
    auto [error, written] = co_await asio::async_write(
        self->socket_, asio::buffer(self->queue_.front()), runtime::asTuple);
    if (error) {
      self->closeNow();
      break;
    }
    self->queuedBytes_ -= self->queue_.front().size();
    self->queue_.pop_front();
  }
  self->writing_ = false;
  if (self->closing_) self->closeNow();
}

void ControlConnection::closeNow() {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(asio::socket_base::shutdown_both, ignored);
  socket_.close(ignored);
  if (resume_) resume_->cancel();
  idle_.cancel();
  if (auto server = server_.lock()) server->forget(settings_.key);
}

}  // namespace flowgate::daemon
