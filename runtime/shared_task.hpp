#pragma once

// A task that runs once while any number of coroutines await its outcome: each
// awaiter gets the same value or the same exception. It is also the handle of
// an unstructured task: cancel() signals the token the work was started with,
// and the work stops where it checks (a cancelled sleep throws CancellationError).

#include "runtime/async.hpp"
#include "runtime/cancel.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

namespace runtime {

template <class T = void>
class SharedTask {
 public:
  SharedTask() = default;

  // Starts `work(CancelToken) -> Task<T>` on a strand of `executor`.
  template <class Work>
  static SharedTask start(const Executor& executor, Work work) {
    SharedTask task;
    task.state_ = std::make_shared<State>(executor);
    auto state = task.state_;
    // The work's exception is the task's result; nothing escapes.
    spawn(state->strand, [state, work = std::move(work)]() mutable -> Task<void> {
      try {
        if constexpr (std::is_void_v<T>) {
          co_await work(state->source.token());
        } else {
          state->value.emplace(co_await work(state->source.token()));
        }
      } catch (...) {
        state->error = std::current_exception();
      }
      state->finished.store(true, std::memory_order_release);
      state->wake.cancel();
    });
    return task;
  }

  explicit operator bool() const { return state_ != nullptr; }
  bool isFinished() const { return state_ && state_->finished.load(std::memory_order_acquire); }
  bool isCancelled() const { return state_ && state_->source.isCancelled(); }
  void cancel() const {
    if (state_) state_->source.cancel();
  }

  // The outcome; rethrows the work's exception.
  Task<T> value() const {
    auto state = state_;
    co_await runOn<void>(state->strand, waitUntilFinished(state));
    if (state->error) std::rethrow_exception(state->error);
    if constexpr (!std::is_void_v<T>) co_return *state->value;
  }

 private:
  struct Value {};
  struct State {
    explicit State(const Executor& executor) : strand(asio::make_strand(executor)), wake(strand) {
      wake.expires_at(asio::steady_timer::time_point::max());
    }
    Strand strand;
    asio::steady_timer wake;  // never fires; cancelled once to wake every waiter
    CancelSource source;
    std::atomic<bool> finished = false;
    std::conditional_t<std::is_void_v<T>, Value, std::optional<T>> value;
    std::exception_ptr error;
  };

  static Task<void> waitUntilFinished(std::shared_ptr<State> state) {
    while (!state->finished.load(std::memory_order_acquire)) {
      co_await state->wake.async_wait(runtime::asTuple);
    }
  }

  std::shared_ptr<State> state_;
};

using TaskHandle = SharedTask<void>;

}  // namespace runtime
