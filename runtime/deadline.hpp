#pragma once

// A watchdog over the waits of one operation on one strand: when the time
// comes before disarm(), `onExpiry` runs there (closing or cancelling what the
// operation waits on) and expired() turns true, so the operation, woken by its
// aborted wait, can tell a missed deadline from the wait's own failure.
// Destroying it disarms it; a firing already queued then does nothing.

#include "runtime/async.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace runtime {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // `executor` must be the strand the operation's waits complete on.
  Deadline(const Executor& executor, Clock::time_point at, std::function<void()> onExpiry)
      : state_(std::make_shared<State>(executor, std::move(onExpiry))) {
    state_->timer.expires_at(at);
    state_->timer.async_wait([state = state_](const boost::system::error_code& error) {
      if (error || state->disarmed) return;
      state->expired = true;
      auto expire = std::move(state->onExpiry);
      if (expire) expire();
    });
  }
  Deadline(const Executor& executor, Clock::duration after, std::function<void()> onExpiry)
      : Deadline(executor, Clock::now() + after, std::move(onExpiry)) {}

  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  ~Deadline() { disarm(); }

  bool expired() const { return state_->expired; }

  void disarm() {
    if (state_->disarmed) return;
    state_->disarmed = true;
    state_->onExpiry = nullptr;  // lets go of what it holds now, not at the timer's end
    state_->timer.cancel();
  }

 private:
  struct State {
    State(const Executor& executor, std::function<void()> expire)
        : timer(executor), onExpiry(std::move(expire)) {}
    boost::asio::steady_timer timer;
    std::function<void()> onExpiry;
    bool expired = false;
    bool disarmed = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace runtime
