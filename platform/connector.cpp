#include "platform/connector.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstring>
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

// A name lookup on a thread of its own: getaddrinfo cannot be interrupted, so
// a lookup that hangs must hold up neither other lookups nor its caller. A
// cancelled lookup completes at once with operation_aborted; its thread finds
// the handler gone when it ends and drops the answer.
template <class Handler>
struct Lookup : std::enable_shared_from_this<Lookup<Handler>> {
  using WorkGuard =
      asio::executor_work_guard<asio::associated_executor_t<Handler, runtime::Executor>>;

  Lookup(Handler h, const runtime::Executor& fallback)
      : work(asio::get_associated_executor(h, fallback)), handler(std::move(h)) {}

  void finish(ErrorCode error, Endpoints endpoints) {
    std::optional<Handler> taken;
    std::optional<WorkGuard> guard;
    {
      std::lock_guard lock(mutex);
      if (!handler) return;
      taken.emplace(std::move(*handler));
      handler.reset();
      guard.emplace(std::move(*work));
      work.reset();
    }
    auto executor = guard->get_executor();
    asio::post(executor,
               [h = std::move(*taken), error, endpoints = std::move(endpoints)]() mutable {
                 asio::get_associated_cancellation_slot(h).clear();
                 std::move(h)(error, std::move(endpoints));
               });
  }

  std::mutex mutex;
  std::optional<WorkGuard> work;
  std::optional<Handler> handler;
};

template <class Token>
auto asyncLookup(const runtime::Executor& executor, std::string host, std::uint16_t port,
                 Token&& token) {
  return asio::async_initiate<Token, void(ErrorCode, Endpoints)>(
      [executor](auto handler, std::string name, std::uint16_t service) {
        using Handler = decltype(handler);
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto lookup = std::make_shared<Lookup<Handler>>(std::move(handler), executor);
        if (slot.is_connected()) {
          slot.assign([lookup](asio::cancellation_type) {
            lookup->finish(asio::error::operation_aborted, {});
          });
        }
        std::thread([lookup, name = std::move(name), service] {
          auto [error, endpoints] = lookupNow(name, service);
          lookup->finish(error, std::move(endpoints));
        }).detach();
      },
      token, std::move(host), port);
}

// What the deadline and the attempt share; touched only on the attempt's strand.
struct Attempt {
  Attempt(const runtime::Executor& strand, const runtime::Executor& socketExecutor)
      : socket(socketExecutor), timer(strand) {}

  tcp::socket socket;
  asio::steady_timer timer;
  asio::cancellation_signal stopLookup;
  bool timedOut = false;
  bool cancelled = false;

  void stop() {
    stopLookup.emit(asio::cancellation_type::terminal);
    ErrorCode ignored;
    socket.close(ignored);
  }

  void check(ErrorCode error) const {
    if (cancelled) throw runtime::CancellationError();
    if (timedOut) throw boost::system::system_error(asio::error::timed_out);
    if (error) throw boost::system::system_error(error);
  }
};

runtime::Task<tcp::socket> connectOnStrand(runtime::Executor socketExecutor, std::string host,
                                           std::uint16_t port, SocketOptions options,
                                           std::chrono::steady_clock::time_point deadline,
                                           runtime::CancelToken cancel) {
  runtime::Executor strand = co_await asio::this_coro::executor;
  auto attempt = std::make_shared<Attempt>(strand, socketExecutor);
  attempt->timer.expires_at(deadline);
  attempt->timer.async_wait([attempt](ErrorCode error) {
    if (error) return;
    attempt->timedOut = true;
    attempt->stop();
  });
  auto registration = cancel.onCancel([attempt, strand] {
    asio::post(strand, [attempt] {
      attempt->cancelled = true;
      attempt->stop();
    });
  });
  struct StopTimer {
    ~StopTimer() { attempt->timer.cancel(); }
    std::shared_ptr<Attempt> attempt;
  } stopTimer{attempt};

  Endpoints endpoints;
  ErrorCode literalError;
  auto literal = asio::ip::make_address(host, literalError);
  if (!literalError) {
    endpoints.emplace_back(literal, port);
  } else {
    auto token = asio::bind_cancellation_slot(attempt->stopLookup.slot(), runtime::asTuple);
    auto [error, found] = co_await asyncLookup(strand, host, port, token);
    attempt->check(error);
    endpoints = std::move(found);
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
    if (!error || attempt->timedOut || attempt->cancelled) break;
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
