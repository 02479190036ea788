#pragma once

// Every coroutine the system starts without awaiting it goes through spawn(), so
// no exception escapes unseen. The default handler rethrows the escape out of
// the io_context's run(), where a daemon or a test notices it; services pass a
// handler that turns an escape into their own failure (a session closes). A
// task ended by cooperative cancellation has not escaped anything.

#include "runtime/async.hpp"
#include "runtime/cancel.hpp"

#include <boost/asio/co_spawn.hpp>

#include <exception>
#include <functional>
#include <utility>

namespace runtime {

using EscapeHandler = std::function<void(std::exception_ptr)>;

inline void rethrowEscape(std::exception_ptr error) { std::rethrow_exception(error); }

namespace detail {

inline void deliverEscape(const EscapeHandler& onEscape, std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const CancellationError&) {
    return;
  } catch (...) {
  }
  // An empty handler would hide the escape behind std::bad_function_call.
  if (!onEscape) std::rethrow_exception(error);
  onEscape(error);
}

}  // namespace detail

// `work` is a Task<void> or a callable returning one.
template <class Work>
void spawn(const Executor& executor, Work&& work, EscapeHandler onEscape = rethrowEscape) {
  asio::co_spawn(executor, std::forward<Work>(work),
                 [onEscape = std::move(onEscape)](std::exception_ptr error) {
                   detail::deliverEscape(onEscape, error);
                 });
}

template <class Work>
void spawn(const Strand& strand, Work&& work, EscapeHandler onEscape = rethrowEscape) {
  spawn(Executor(strand), std::forward<Work>(work), std::move(onEscape));
}

}  // namespace runtime
