#include "platform/connector.hpp"

#include "runtime/deadline.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform {

namespace asio = boost::asio;
using asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

template <class Socket>
void setOption(Socket& socket, int level, int name, int value) {
  if (setsockopt(socket.native_handle(), level, name, &value, sizeof value) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category());
  }
}

template <class Socket>
void applyOptions(Socket& socket, const SocketOptions& options) {
  if (options.routingMark) {
    setOption(socket, SOL_SOCKET, SO_MARK, static_cast<int>(*options.routingMark));
  }
  if constexpr (std::is_same_v<Socket, tcp::socket>) {
    if (options.keepAlive) {
      setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
      setOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 15);
      setOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 5);
      setOption(socket, IPPROTO_TCP, TCP_KEEPCNT, 3);
    }
    if (options.noDelay) setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  }
}

using Endpoints = std::vector<tcp::endpoint>;

ErrorCode lookupError(int status) {
  switch (status) {
    case EAI_AGAIN: return asio::error::host_not_found_try_again;
    case EAI_FAIL: return asio::error::no_recovery;
    case EAI_MEMORY: return asio::error::no_memory;
    case EAI_SYSTEM: return ErrorCode(errno, boost::system::system_category());
    default: return asio::error::host_not_found;
  }
}

// Blocking; runs on a thread of its own.
std::pair<ErrorCode, Endpoints> lookupNow(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  auto service = std::to_string(port);
  int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (status != 0) return {lookupError(status), {}};
  Endpoints endpoints;
  for (auto* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    tcp::endpoint endpoint;
    std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
    endpoint.resize(entry->ai_addrlen);
    endpoints.push_back(endpoint);
  }
  ::freeaddrinfo(list);
  if (endpoints.empty()) return {asio::error::host_not_found, {}};
  return {ErrorCode(), std::move(endpoints)};
}

// A name lookup on a thread of its own: getaddrinfo cannot be interrupted, so a
// lookup that hangs must hold up neither other lookups nor its caller. The
// thread shares only this record with the caller; it wakes the caller through
// `wake`, which the caller clears when it stops waiting (answered, abandoned,
// or its io_context going away), so a late answer touches nothing of theirs.
struct Lookup {
  std::mutex mutex;
  bool done = false;
  ErrorCode error;
  Endpoints endpoints;
  std::function<void()> wake;
};

void startLookup(const std::shared_ptr<Lookup>& lookup, std::string host, std::uint16_t port) {
  std::thread([lookup, host = std::move(host), port] {
    auto [error, endpoints] = lookupNow(host, port);
    std::lock_guard lock(lookup->mutex);
    lookup->done = true;
    lookup->error = error;
    lookup->endpoints = std::move(endpoints);
    if (lookup->wake) lookup->wake();
  }).detach();
}

// What the deadline and the attempt share; touched only on the attempt's strand.
struct Attempt {
  Attempt(const runtime::Executor& strand, const runtime::Executor& socketExecutor)
      : socket(socketExecutor), lookupDone(strand, asio::steady_timer::time_point::max()) {}

  tcp::socket socket;
  asio::steady_timer lookupDone;  // cancelled to wake the wait for a lookup
  std::optional<runtime::Deadline> deadline;
  bool cancelled = false;

  void stop() {
    lookupDone.cancel();
    ErrorCode ignored;
    socket.close(ignored);
  }

  bool timedOut() const { return deadline && deadline->expired(); }

  void check(ErrorCode error) const {
    if (cancelled) throw runtime::CancellationError();
    if (timedOut()) throw boost::system::system_error(asio::error::timed_out);
    if (error) throw boost::system::system_error(error);
  }
};

runtime::Task<tcp::socket> connectOnStrand(runtime::Executor socketExecutor, std::string host,
                                           std::uint16_t port, SocketOptions options,
                                           std::chrono::steady_clock::time_point deadline,
                                           runtime::CancelToken cancel) {
  runtime::Executor strand = co_await asio::this_coro::executor;
  auto attempt = std::make_shared<Attempt>(strand, socketExecutor);
  attempt->deadline.emplace(strand, deadline, [weak = std::weak_ptr<Attempt>(attempt)] {
    if (auto live = weak.lock()) live->stop();
  });
  auto registration = cancel.onCancel([attempt, strand] {
    asio::post(strand, [attempt] {
      attempt->cancelled = true;
      attempt->stop();
    });
  });
  struct Disarm {
    ~Disarm() { attempt->deadline->disarm(); }
    std::shared_ptr<Attempt> attempt;
  } disarm{attempt};

  Endpoints endpoints;
  ErrorCode literalError;
  auto literal = asio::ip::make_address(host, literalError);
  if (!literalError) {
    endpoints.emplace_back(literal, port);
  } else if (options.nameLookup) {
    auto addresses = co_await options.nameLookup(host, deadline);
    attempt->check({});
    for (const auto& address : addresses) endpoints.emplace_back(address, port);
  } else {
    auto lookup = std::make_shared<Lookup>();
    std::weak_ptr<Attempt> waiting = attempt;
    lookup->wake = [strand, waiting] {
      asio::post(strand, [waiting] {
        if (auto live = waiting.lock()) live->lookupDone.cancel();
      });
    };
    struct StopWaiting {
      ~StopWaiting() {
        std::lock_guard lock(lookup->mutex);
        lookup->wake = nullptr;
      }
      std::shared_ptr<Lookup> lookup;
    } stopWaiting{lookup};
    startLookup(lookup, host, port);
    co_await attempt->lookupDone.async_wait(runtime::asTuple);
    attempt->check({});
    std::lock_guard lock(lookup->mutex);
    if (!lookup->done) throw boost::system::system_error(asio::error::operation_aborted);
    if (lookup->error) throw boost::system::system_error(lookup->error);
    endpoints = std::move(lookup->endpoints);
  }

  // Addresses are tried in order; the options are in place before the first packet leaves.
  ErrorCode failure = asio::error::host_not_found;
  auto& socket = attempt->socket;
  for (const auto& endpoint : endpoints) {
    ErrorCode ignored;
    socket.close(ignored);
    attempt->check({});
    socket.open(endpoint.protocol());
    applyOptions(socket, options);
    auto [error] = co_await socket.async_connect(endpoint, runtime::asTuple);
    failure = error;
    if (!error || attempt->timedOut() || attempt->cancelled) break;
  }
  attempt->check(failure);
  co_return std::move(socket);
}

}  // namespace

asio::ip::udp::socket openUDP(const runtime::Executor& executor, const SocketOptions& options) {
  asio::ip::udp::socket socket(executor, asio::ip::udp::v4());
  applyOptions(socket, options);
  return socket;
}

runtime::Task<tcp::socket> connectTCP(runtime::Executor executor, std::string host,
                                      std::uint16_t port, SocketOptions options,
                                      std::chrono::steady_clock::duration timeout,
                                      runtime::CancelToken cancel) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  runtime::Executor strand = asio::make_strand(executor);
  co_return co_await runtime::runOn<tcp::socket>(
      strand,
      connectOnStrand(executor, std::move(host), port, options, deadline, std::move(cancel)));
}

}  // namespace platform
