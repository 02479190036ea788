#include "platform/tunnel_host_client.hpp"

#include "runtime/spawn.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <utility>

namespace platform {

namespace asio = boost::asio;
namespace protocol = tunnel_protocol;
using protocol::Operation;
using protocol::Request;

// A waiter wakes when its timer is cancelled, or when it expires at the deadline.
struct TunnelHostClient::Pending {
  explicit Pending(const runtime::Strand& strand) : timer(strand) {
    timer.expires_at(asio::steady_timer::time_point::max());
  }
  void finish() {
    done = true;
    timer.cancel();
  }
  asio::steady_timer timer;
  bool done = false;
  bool lost = false;
  boost::json::value result;
  std::optional<TunnelErrorInfo> error;
  std::string group;  // named by a refusal
};

struct TunnelHostClient::Connecting : Pending {
  using Pending::Pending;
  runtime::ErrorCode failure;
};

struct TunnelHostClient::Link {
  explicit Link(const runtime::Strand& strand) : socket(strand) {}
  asio::local::stream_protocol::socket socket;
  std::deque<std::string> queue;
  bool writing = false;
  bool closed = false;
  bool subscribed = false;
  std::map<std::uint64_t, std::shared_ptr<Pending>> pending;
};

std::shared_ptr<TunnelHostClient> TunnelHostClient::create(runtime::Executor executor,
                                                           std::filesystem::path path,
                                                           std::chrono::milliseconds deadline) {
  return std::shared_ptr<TunnelHostClient>(
      new TunnelHostClient(std::move(executor), std::move(path), deadline));
}

TunnelHostClient::TunnelHostClient(runtime::Executor executor, std::filesystem::path path,
                                   std::chrono::milliseconds deadline)
    : observerStrand_(asio::make_strand(executor)),
      strand_(asio::make_strand(executor)),
      path_(std::move(path)),
      deadline_(deadline) {}

TunnelHostClient::~TunnelHostClient() {
  // No call is in flight (each holds the client); end the reader.
  if (auto link = std::move(link_)) {
    asio::post(strand_, [link] {
      link->closed = true;
      boost::system::error_code ignored;
      link->socket.close(ignored);
    });
  }
}

// ---- operations ----

runtime::Task<std::vector<TunnelConfiguration>> TunnelHostClient::loadAllFromPreferences() {
  auto work = roundTrip({.operation = Operation::loadAll});
  auto result = co_await std::move(work);
  co_return protocol::decodeConfigurations(result);
}

runtime::Task<TunnelConfiguration> TunnelHostClient::saveToPreferences(
    TunnelConfiguration configuration) {
  Request request{.operation = Operation::save, .configuration = std::move(configuration)};
  auto work = roundTrip(std::move(request));
  auto result = co_await std::move(work);
  co_return protocol::decodeConfiguration(result);
}

runtime::Task<TunnelConfiguration> TunnelHostClient::loadFromPreferences(std::string identifier) {
  Request request{.operation = Operation::load, .identifier = std::move(identifier)};
  auto work = roundTrip(std::move(request));
  auto result = co_await std::move(work);
  co_return protocol::decodeConfiguration(result);
}

runtime::Task<void> TunnelHostClient::removeFromPreferences(std::string identifier) {
  Request request{.operation = Operation::remove, .identifier = std::move(identifier)};
  auto work = roundTrip(std::move(request));
  co_await std::move(work);
}

runtime::Task<void> TunnelHostClient::startVPNTunnel(std::string identifier,
                                                     TunnelStartOptions options) {
  Request request{.operation = Operation::start,
                  .identifier = std::move(identifier),
                  .options = std::move(options)};
  auto work = roundTrip(std::move(request));
  co_await std::move(work);
}

runtime::Task<void> TunnelHostClient::stopVPNTunnel(std::string identifier) {
  Request request{.operation = Operation::stop, .identifier = std::move(identifier)};
  auto work = roundTrip(std::move(request));
  co_await std::move(work);
}

runtime::Task<TunnelConnection> TunnelHostClient::connection(std::string identifier) {
  Request request{.operation = Operation::connection, .identifier = std::move(identifier)};
  auto work = roundTrip(std::move(request));
  auto result = co_await std::move(work);
  co_return protocol::decodeConnection(result);
}

runtime::Task<bool> TunnelHostClient::lockdown() {
  auto work = roundTrip({.operation = Operation::getLockdown});
  auto result = co_await std::move(work);
  co_return protocol::decodeLockdown(result);
}

runtime::Task<void> TunnelHostClient::setLockdown(bool enabled) {
  auto work = roundTrip({.operation = Operation::setLockdown, .enabled = enabled});
  co_await std::move(work);
}

runtime::Task<std::optional<std::string>> TunnelHostClient::sendProviderMessage(
    std::string identifier, std::string message, bool wantsReply) {
  Request request{.operation = Operation::message,
                  .identifier = std::move(identifier),
                  .message = std::move(message),
                  .wantsReply = wantsReply};
  auto work = roundTrip(std::move(request));
  auto result = co_await std::move(work);
  co_return protocol::decodeMessageReply(result);
}

runtime::Task<boost::json::value> TunnelHostClient::roundTrip(Request request) {
  return runtime::runOn<boost::json::value>(strand_, call(shared_from_this(), std::move(request)));
}

runtime::Task<boost::json::value> TunnelHostClient::call(std::shared_ptr<TunnelHostClient> self,
                                                         Request request) {
  request.id = ++self->nextRequest_;
  auto payload = protocol::encodeRequest(request);
  if (payload.size() > protocol::maxRequestLength) runtime::fail(TunnelHostError::messageTooLarge);
  auto link = co_await self->currentLink();
  if (link->closed) runtime::fail(TunnelHostError::connectionLost);
  auto pending = std::make_shared<Pending>(self->strand_);
  pending->timer.expires_after(self->deadline_);
  link->pending.emplace(request.id, pending);
  self->send(link, protocol::frame(payload));
  while (!pending->done) {
    auto [error] = co_await pending->timer.async_wait(runtime::asTuple);
    if (!error && !pending->done) {
      // A hung daemon must not hold the caller; a late reply finds no waiter.
      link->pending.erase(request.id);
      runtime::fail(TunnelHostError::notResponding);
    }
  }
  if (pending->lost) runtime::fail(TunnelHostError::connectionLost);
  if (pending->error) protocol::throwError(*pending->error, pending->group);
  co_return std::move(pending->result);
}

// ---- the connection ----

namespace {

// The socket's group is the one the host serves: a refusal names it.
[[noreturn]] void failConnecting(const runtime::ErrorCode& error,
                                 const std::filesystem::path& socket) {
  struct stat status {};
  if (error == boost::system::errc::permission_denied && ::stat(socket.c_str(), &status) == 0) {
    std::array<char, 4096> buffer{};
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
      throw TunnelAccessDenied(found->gr_name);
    }
  }
  throw runtime::SystemError(error);
}

}  // namespace

runtime::Task<std::shared_ptr<TunnelHostClient::Link>> TunnelHostClient::currentLink() {
  for (;;) {
    if (link_ && !link_->closed) co_return link_;
    if (auto connecting = connecting_) {
      // Someone else is connecting: share its outcome.
      while (!connecting->done) co_await connecting->timer.async_wait(runtime::asTuple);
      if (connecting->failure) failConnecting(connecting->failure, path_);
      continue;
    }
    auto connecting = connecting_ = std::make_shared<Connecting>(strand_);
    auto link = std::make_shared<Link>(strand_);
    asio::local::stream_protocol::endpoint endpoint(path_.native());
    // Close-on-exec, so programs the app runs do not inherit the connection.
    if (int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); fd >= 0) {
      link->socket.assign(asio::local::stream_protocol(), fd);
    }
    auto [error] = co_await link->socket.async_connect(endpoint, runtime::asTuple);
    connecting_.reset();
    connecting->failure = error;
    connecting->finish();
    if (error) failConnecting(error, path_);
    link_ = link;
    runtime::spawn(strand_, readLoop(weak_from_this(), link));
    subscribeIfObserved(link);
    announce(true);
    co_return link;
  }
}

void TunnelHostClient::send(const std::shared_ptr<Link>& link, std::string frame) {
  if (link->closed) return;
  link->queue.push_back(std::move(frame));
  if (!link->writing) {
    link->writing = true;
    // A lost write also ends the reader, which fails the waiting calls.
    runtime::spawn(strand_, writeLoop(link));
  }
}

runtime::Task<void> TunnelHostClient::writeLoop(std::shared_ptr<Link> link) {
  while (!link->queue.empty() && !link->closed) {
    auto [error, written] = co_await asio::async_write(
        link->socket, asio::buffer(link->queue.front()), runtime::asTuple);
    if (error) {
      boost::system::error_code ignored;
      link->socket.shutdown(asio::socket_base::shutdown_both, ignored);
      break;
    }
    link->queue.pop_front();
  }
  link->writing = false;
}

runtime::Task<void> TunnelHostClient::readLoop(std::weak_ptr<TunnelHostClient> weak,
                                               std::shared_ptr<Link> link) {
  protocol::FrameDecoder decoder;
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    auto [error, count] =
        co_await link->socket.async_read_some(asio::buffer(buffer), runtime::asTuple);
    auto self = weak.lock();
    if (!self) co_return;
    if (error) {
      self->lose(link);
      co_return;
    }
    decoder.append(std::span(buffer.data(), count));
    while (auto payload = decoder.next()) {
      protocol::Incoming incoming;
      try {
        incoming = protocol::decodeIncoming(*payload);
      } catch (const runtime::SystemError&) {
        // The daemon speaks something else: nothing more it says can be trusted.
        self->lose(link);
        co_return;
      }
      self->receive(link, std::move(incoming));
    }
    if (decoder.broken()) {
      self->lose(link);
      co_return;
    }
  }
}

void TunnelHostClient::receive(const std::shared_ptr<Link>& link, protocol::Incoming incoming) {
  if (auto* change = std::get_if<TunnelStatusChange>(&incoming)) {
    notify(&TunnelHostClient::observers_, std::move(*change));
    return;
  }
  auto& reply = std::get<protocol::Reply>(incoming);
  if (!reply.id) {
    // An error for no request in particular is the host turning the
    // connection away (not allowed, too many): it answers every waiting call,
    // and the next call tries a new connection.
    auto* error = std::get_if<TunnelErrorInfo>(&reply.outcome);
    if (!error) return;
    for (auto& [id, pending] : std::exchange(link->pending, {})) {
      pending->error = *error;
      pending->group = reply.group;
      pending->finish();
    }
    lose(link);
    return;
  }
  // Replies without a waiter (the subscription's) are dropped.
  auto found = link->pending.find(*reply.id);
  if (found == link->pending.end()) return;
  auto pending = std::move(found->second);
  link->pending.erase(found);
  if (auto* error = std::get_if<TunnelErrorInfo>(&reply.outcome)) {
    pending->error = std::move(*error);
    pending->group = std::move(reply.group);
  } else {
    pending->result = std::move(std::get<boost::json::value>(reply.outcome));
  }
  pending->finish();
}

void TunnelHostClient::lose(const std::shared_ptr<Link>& link) {
  if (link->closed) return;
  link->closed = true;
  boost::system::error_code ignored;
  link->socket.close(ignored);
  if (link_ == link) link_.reset();
  for (auto& [id, pending] : link->pending) {
    pending->lost = true;
    pending->finish();
  }
  link->pending.clear();
  announce(false);
  // Observers expect status changes without calling anything: win the daemon back.
  if (link->subscribed) resubscribeLater();
}

void TunnelHostClient::announce(bool reachable) {
  if (announcedLoss_ == !reachable) return;
  announcedLoss_ = !reachable;
  notify(&TunnelHostClient::reachabilityObservers_, reachable);
}

template <class Observer, class Value>
void TunnelHostClient::notify(std::map<std::uint64_t, Observer> TunnelHostClient::*observers,
                              Value value) {
  asio::post(observerStrand_, [weak = weak_from_this(), observers, value = std::move(value)] {
    auto self = weak.lock();
    if (!self) return;
    std::map<std::uint64_t, Observer> copy;
    {
      std::lock_guard lock(self->observersMutex_);
      copy = (*self).*observers;
    }
    for (auto& [token, observer] : copy) observer(value);
  });
}

void TunnelHostClient::resubscribeLater() {
  if (resubscribing_) return;
  resubscribing_ = true;
  runtime::spawn(strand_, resubscribe(weak_from_this()));
}

runtime::Task<void> TunnelHostClient::resubscribe(std::weak_ptr<TunnelHostClient> weak) {
  auto delay = std::chrono::milliseconds(250);
  for (;;) {
    asio::steady_timer timer(co_await asio::this_coro::executor, delay);
    co_await timer.async_wait(runtime::asTuple);
    auto self = weak.lock();
    if (!self) co_return;
    if (!self->hasObservers() || self->link_) {
      self->resubscribing_ = false;
      co_return;
    }
    try {
      co_await self->currentLink();  // subscribes
      self->resubscribing_ = false;
      co_return;
    } catch (const runtime::SystemError&) {
      // Not back yet (restarting, or stopped for good): keep trying, less often.
    }
    delay = std::min(delay * 2, std::chrono::milliseconds(10000));
  }
}

// ---- status observers ----

std::uint64_t TunnelHostClient::addStatusObserver(StatusObserver observer) {
  std::uint64_t token = 0;
  {
    std::lock_guard lock(observersMutex_);
    token = ++nextObserver_;
    observers_.emplace(token, std::move(observer));
  }
  runtime::spawn(strand_, subscribeNow(shared_from_this()));
  return token;
}

void TunnelHostClient::removeStatusObserver(std::uint64_t token) {
  std::lock_guard lock(observersMutex_);
  observers_.erase(token);
}

std::uint64_t TunnelHostClient::addReachabilityObserver(ReachabilityObserver observer) {
  std::lock_guard lock(observersMutex_);
  auto token = ++nextObserver_;
  reachabilityObservers_.emplace(token, std::move(observer));
  return token;
}

void TunnelHostClient::removeReachabilityObserver(std::uint64_t token) {
  std::lock_guard lock(observersMutex_);
  reachabilityObservers_.erase(token);
}

bool TunnelHostClient::hasObservers() {
  std::lock_guard lock(observersMutex_);
  return !observers_.empty();
}

runtime::Task<void> TunnelHostClient::subscribeNow(std::shared_ptr<TunnelHostClient> self) {
  try {
    auto link = co_await self->currentLink();
    self->subscribeIfObserved(link);
  } catch (const runtime::SystemError&) {
    // No daemon to reach now: keep looking for it in the background.
    self->announce(false);
    self->resubscribeLater();
  }
}

void TunnelHostClient::subscribeIfObserved(const std::shared_ptr<Link>& link) {
  if (link->subscribed || !hasObservers()) return;
  link->subscribed = true;
  // Its reply has no waiter; a refusal shows in the caller's own requests.
  send(link, protocol::frame(protocol::encodeRequest(
                 {.id = ++nextRequest_, .operation = Operation::subscribe})));
}

}  // namespace platform
