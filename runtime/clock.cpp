#include "runtime/clock.hpp"
#include "runtime/async.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>

namespace runtime {

namespace {

// Waits on `timer` until `ready()` or cancellation; the timer is cancelled on the
// coroutine's own executor so it never races the wait.
template <class Ready>
Task<void> waitOn(std::shared_ptr<asio::steady_timer> timer, CancelToken token, Ready ready) {
  auto executor = co_await asio::this_coro::executor;
  auto registration =
      token.onCancel([timer, executor] { asio::post(executor, [timer] { timer->cancel(); }); });
  while (!token.isCancelled() && !ready()) {
    co_await timer->async_wait(runtime::asTuple);
  }
  token.throwIfCancelled();
}

}  // namespace

double SystemClock::uptime() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Date SystemClock::now() const { return Date::from(std::chrono::system_clock::now()); }

Task<void> SystemClock::sleep(double seconds, CancelToken token) {
  auto executor = co_await asio::this_coro::executor;
  auto timer = std::make_shared<asio::steady_timer>(executor);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(std::max(seconds, 0.0)));
  timer->expires_at(deadline);
  std::function<bool()> due = [deadline] { return std::chrono::steady_clock::now() >= deadline; };
  co_await waitOn(timer, token, std::move(due));
}

struct ManualClock::Sleeper {
  double deadline;
  Executor executor;
  std::shared_ptr<asio::steady_timer> timer;
};

ManualClock::ManualClock(double uptime, Date now) : uptime_(uptime), now_(now) {}

double ManualClock::uptime() const {
  std::lock_guard lock(mutex_);
  return uptime_;
}

Date ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Task<void> ManualClock::sleep(double seconds, CancelToken token) {
  auto executor = co_await asio::this_coro::executor;
  auto timer = std::make_shared<asio::steady_timer>(executor);
  timer->expires_at(asio::steady_timer::time_point::max());
  std::shared_ptr<Sleeper> sleeper;
  {
    std::lock_guard lock(mutex_);
    sleeper = std::make_shared<Sleeper>(Sleeper{uptime_ + seconds, executor, timer});
    sleepers_.push_back(sleeper);
  }
  // Named, not a temporary in the co_await: GCC 12 mishandles non-trivial temporaries there.
  std::function<bool()> due = [this, sleeper] { return uptime() >= sleeper->deadline; };
  co_await waitOn(timer, token, std::move(due));
}

void ManualClock::advance(double seconds) {
  std::vector<std::shared_ptr<Sleeper>> due;
  {
    std::lock_guard lock(mutex_);
    uptime_ += seconds;
    now_ = now_.adding(seconds);
    std::erase_if(sleepers_, [&](const std::weak_ptr<Sleeper>& weak) {
      auto sleeper = weak.lock();
      if (!sleeper) return true;
      if (sleeper->deadline > uptime_) return false;
      due.push_back(std::move(sleeper));
      return true;
    });
  }
  for (auto& sleeper : due) {
    asio::post(sleeper->executor, [timer = sleeper->timer] { timer->cancel(); });
  }
}

void ManualClock::setNow(Date now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

std::size_t ManualClock::sleepers() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(sleepers_.begin(), sleepers_.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

}  // namespace runtime
