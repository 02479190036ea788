#pragma once

// The concurrency model: a long-lived service is a Serialized object whose
// operations run on its strand. Callers await an operation and resume on their
// own executor. Between two suspension points an operation runs alone; at each
// co_await other operations of the same object may run.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace runtime {

namespace asio = boost::asio;

using Executor = asio::any_io_executor;
using Strand = asio::strand<Executor>;
template <class T = void>
using Task = asio::awaitable<T>;

// Completion token for awaits that report failure as an error code instead of
// throwing: `auto [ec, n] = co_await socket.async_read_some(buffer, asTuple);`
inline constexpr auto asTuple = asio::as_tuple(asio::use_awaitable);

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
  if (asio::strand<Executor>* strand = executor.target<asio::strand<Executor>>();
      strand && strand->running_in_this_thread() && caller != executor) {
    co_await asio::post(caller, asio::use_awaitable);
  }
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<T>) co_return std::move(*result);
}

class Serialized {
 public:
  explicit Serialized(const Executor& executor) : strand_(asio::make_strand(executor)) {}
  // Shares a strand with its other users: their operations and this object's
  // run one at a time together, and calls between them need no hop.
  explicit Serialized(Strand strand) : strand_(std::move(strand)) {}

  const Strand& strand() const { return strand_; }
  bool isOnStrand() const { return strand_.running_in_this_thread(); }

 protected:
  // Wrap every public asynchronous operation: `return serialized(doIt(args));`.
  // Take arguments of the wrapped coroutine by value: it runs after the call returns.
  template <class T>
  Task<T> serialized(Task<T> op) const {
    return runOn<T>(strand_, std::move(op));
  }

 private:
  Strand strand_;
};

}  // namespace runtime
