#pragma once

// The concurrency model: a long-lived service is a Serialized object whose
// operations run on its strand. Callers await an operation and resume on their
// own executor. Between two suspension points an operation runs alone; at each
// co_await other operations of the same object may run.
//
// A strand operation is written one way:
//
//   Task<R> Pool::status() {                        // control: any caller
//     return serialized(doStatus(shared_from_this(), args));
//   }
//   Task<R> Pool::route(Batch batch) {              // engine: already on the strand
//     assertOnStrand();
//     ...
//   }
//
// - An object's strand is an Executor. Built from an io_context's executor it
//   is a strand over that concrete executor (IoStrand), which fits the
//   Executor's inline storage: the copies every asynchronous operation makes
//   of its executor (to track outstanding work) then allocate nothing, where
//   a strand over an Executor would allocate at each operation's start and
//   completion. Other executors (the app's main thread, a thread pool) get a
//   strand over the Executor. Built from a strand of either kind, an object
//   shares it.
// - Control operations (start, status, heartbeat, teardown) go through
//   serialized(): one hop onto the strand and one back, which their rate
//   makes free. The coroutine it wraps takes everything by value, `self`
//   included, because it runs after the call has returned.
// - Objects that share one strand (the data-plane engine: packet loop, session
//   pool, sessions, DNS proxy) call each other's engine operations directly,
//   without a hop; each starts by asserting it is on the strand. A hop per
//   packet batch onto the strand one is already on costs allocations and a
//   trip through the scheduler, and buys nothing.
// - GCC 12: a temporary with a non-trivial destructor created in the same
//   full-expression as a co_await (the awaitable a call returns, a std::string
//   or vector or shared_ptr argument built for the call, a capturing lambda)
//   may be destroyed twice: once when the coroutine suspends and again at the
//   end of the full-expression. So build the awaitable in a statement of its
//   own and await the named value:
//       auto sending = session->send(std::move(packets));
//       bool sent = co_await std::move(sending);
//   Temporaries in the statement that builds it are fine (it has no co_await);
//   trivially destructible ones (integers, pointers, references) are fine
//   anywhere.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cassert>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace runtime {

namespace asio = boost::asio;

using Executor = asio::any_io_executor;
// A strand over any executor.
using Strand = asio::strand<Executor>;
// A strand over an io_context's own executor; small enough for an Executor to
// hold without allocating.
using IoStrand = asio::strand<asio::io_context::executor_type>;
template <class T = void>
using Task = asio::awaitable<T>;

// Completion token for awaits that report failure as an error code instead of
// throwing: `auto [ec, n] = co_await socket.async_read_some(buffer, asTuple);`
inline constexpr auto asTuple = asio::as_tuple(asio::use_awaitable);

// Whether `executor` is a strand, of either kind, that runs in this thread.
inline bool runningInThisThread(const Executor& executor) {
  if (const auto* strand = executor.target<IoStrand>()) return strand->running_in_this_thread();
  if (const auto* strand = executor.target<Strand>()) return strand->running_in_this_thread();
  return false;
}

// Runs `op` on `executor` and resumes the caller on the caller's own executor
// with the operation's value or exception.
template <class T>
Task<T> runOn(Executor executor, Task<T> op) {
  auto caller = co_await asio::this_coro::executor;
  std::exception_ptr error;
  [[maybe_unused]] std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await asio::co_spawn(executor, std::move(op), asio::use_awaitable);
    } else if constexpr (std::is_default_constructible_v<T>) {
      result.emplace(co_await asio::co_spawn(executor, std::move(op), asio::use_awaitable));
    } else {
      // co_spawn needs a default-constructible result; carry the value in an optional.
      auto boxed = [](Task<T> inner) -> Task<std::optional<T>> {
        co_return co_await std::move(inner);
      };
      result = co_await asio::co_spawn(executor, boxed(std::move(op)), asio::use_awaitable);
    }
  } catch (...) {
    error = std::current_exception();
  }
  // The completion may have run inline while `executor` is still held (Asio
  // dispatches it); hop once so the caller runs outside the callee's strand,
  // unless that strand is the caller's own.
  if (runningInThisThread(executor) && caller != executor) {
    co_await asio::post(caller, asio::use_awaitable);
  }
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<T>) co_return std::move(*result);
}

// The strand an executor is, or a new strand on it: an IoStrand on an
// io_context's executor.
inline Executor strandOf(const Executor& executor) {
  if (executor.target<IoStrand>() || executor.target<Strand>()) return executor;
  if (const auto* io = executor.target<asio::io_context::executor_type>()) {
    return asio::make_strand(*io);
  }
  return asio::make_strand(executor);
}

class Serialized {
 public:
  // Runs on a new strand on `executor`; given a strand, shares it with its
  // other users: their operations and this object's run one at a time
  // together, and calls between them need no hop.
  explicit Serialized(const Executor& executor) : strand_(strandOf(executor)) {}

  const Executor& strand() const { return strand_; }
  // What the strand runs on, for work that must not be serialized with it.
  Executor innerExecutor() const {
    if (const auto* strand = strand_.target<IoStrand>()) return strand->get_inner_executor();
    return strand_.target<Strand>()->get_inner_executor();
  }
  bool isOnStrand() const { return runningInThisThread(strand_); }
  // First statement of every engine operation (see above).
  void assertOnStrand() const { assert(isOnStrand()); }

 protected:
  // Wrap every public asynchronous operation: `return serialized(doIt(args));`.
  // Take arguments of the wrapped coroutine by value: it runs after the call returns.
  template <class T>
  Task<T> serialized(Task<T> op) const {
    return runOn<T>(strand_, std::move(op));
  }

 private:
  Executor strand_;  // an IoStrand or a Strand
};

}  // namespace runtime
