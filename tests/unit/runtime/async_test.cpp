#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"
#include "runtime/spawn.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
using runtime::Task;

namespace {

// Runs `body` as a coroutine on `executor` and blocks until it finishes.
template <class Executor, class Body>
void runBlocking(Executor executor, Body body) {
  std::promise<void> done;
  asio::co_spawn(executor, std::move(body), [&](std::exception_ptr e) {
    if (e) {
      done.set_exception(e);
    } else {
      done.set_value();
    }
  });
  done.get_future().get();
}

// An object whose operations record when they run, on a multi-threaded pool.
class Recorder : public runtime::Serialized {
 public:
  using Serialized::Serialized;

  Task<void> step(std::string name, int suspensions) {
    return serialized(stepOnStrand(std::move(name), suspensions));
  }
  Task<int> failing() { return serialized(failOnStrand()); }

  std::vector<std::string> log;
  int maxInside = 0;

 private:
  Task<void> stepOnStrand(std::string name, int suspensions) {
    for (int i = 0; i < suspensions; ++i) {
      ++inside_;
      maxInside = std::max(maxInside, inside_.load());
      log.push_back(name + std::to_string(i));
      // Give another thread a chance to enter if serialization were broken.
      for (int spin = 0; spin < 20; ++spin) std::this_thread::yield();
      --inside_;
      co_await asio::post(strand(), asio::use_awaitable);
    }
  }
  Task<int> failOnStrand() {
    co_await asio::post(strand(), asio::use_awaitable);
    throw std::runtime_error("boom");
  }

  std::atomic<int> inside_ = 0;
};

struct NoDefault {
  explicit NoDefault(int v) : value(v) {}
  int value;
};

}  // namespace

TEST(Serialized, OperationsNeverOverlapButInterleaveAtSuspensions) {
  asio::thread_pool pool(4);
  Recorder recorder(pool.get_executor());
  std::vector<std::future<void>> callers;
  for (const char* name : {"a", "b", "c", "d"}) {
    std::promise<void> done;
    callers.push_back(done.get_future());
    asio::co_spawn(pool.get_executor(), recorder.step(name, 50),
                   [p = std::move(done)](std::exception_ptr) mutable { p.set_value(); });
  }
  for (auto& caller : callers) caller.get();
  pool.join();

  EXPECT_EQ(recorder.maxInside, 1);
  ASSERT_EQ(recorder.log.size(), 200u);
  // Interleaving: some step of one operation ran between two steps of another.
  bool interleaved = false;
  for (std::size_t i = 1; i < recorder.log.size(); ++i) {
    interleaved |= recorder.log[i][0] != recorder.log[i - 1][0];
  }
  EXPECT_TRUE(interleaved);
}

TEST(Serialized, AnOperationSuspendedOnAnotherCanBeUnblockedByIt) {
  asio::io_context io;
  struct Gate : runtime::Serialized {
    using Serialized::Serialized;
    std::shared_ptr<asio::steady_timer> open =
        std::make_shared<asio::steady_timer>(strand(), asio::steady_timer::time_point::max());
    Task<void> waitOpen() {
      return serialized(
          [](auto timer) -> Task<void> { co_await timer->async_wait(runtime::asTuple); }(open));
    }
    Task<void> release() {
      return serialized([](auto timer) -> Task<void> {
        timer->cancel();
        co_return;
      }(open));
    }
  } gate(io.get_executor());
  bool waited = false;
  runtime::spawn(io.get_executor(), [&]() -> Task<void> {
    co_await gate.waitOpen();
    waited = true;
  });
  runtime::spawn(io.get_executor(), gate.release());
  io.run();
  EXPECT_TRUE(waited);
}

TEST(Serialized, CallerResumesOnItsOwnExecutorWithValueOrError) {
  asio::thread_pool pool(2);
  Recorder recorder(pool.get_executor());
  auto callerStrand = asio::make_strand(pool.get_executor());
  runBlocking(callerStrand, [&]() -> Task<void> {
    co_await recorder.step("x", 2);
    EXPECT_TRUE(callerStrand.running_in_this_thread());
    EXPECT_FALSE(recorder.isOnStrand());
    EXPECT_THROW(co_await recorder.failing(), std::runtime_error);
    EXPECT_TRUE(callerStrand.running_in_this_thread());
    auto boxed = co_await runtime::runOn(recorder.strand(),
                                         []() -> Task<NoDefault> { co_return NoDefault(7); }());
    EXPECT_EQ(boxed.value, 7);
  });
  pool.join();
}

TEST(Serialized, ObjectsSharingAStrandCallEachOtherWithoutLeavingIt) {
  asio::thread_pool pool(2);
  Recorder owner(pool.get_executor());
  Recorder sharer(owner.strand());
  EXPECT_EQ(sharer.strand(), owner.strand());
  runBlocking(pool.get_executor(), [&]() -> Task<void> {
    co_await runtime::runOn(owner.strand(), [&]() -> Task<void> {
      co_await sharer.step("s", 2);
      // Both objects run on one strand: the caller never left it.
      EXPECT_TRUE(owner.isOnStrand());
      EXPECT_THROW(co_await sharer.failing(), std::runtime_error);
      EXPECT_TRUE(owner.isOnStrand());
    }());
    EXPECT_FALSE(owner.isOnStrand());
  });
  pool.join();
  EXPECT_EQ(sharer.log, (std::vector<std::string>{"s0", "s1"}));
}

TEST(Serialized, OnAnIoContextTheStrandIsOverItsOwnExecutorAndWorksAlike) {
  asio::io_context io;
  Recorder owner(io.get_executor());
  Recorder sharer(owner.strand());
  // Held inline by the Executor: copies of it allocate nothing.
  ASSERT_NE(owner.strand().target<runtime::IoStrand>(), nullptr);
  EXPECT_NE(owner.innerExecutor().target<asio::io_context::executor_type>(), nullptr);
  EXPECT_EQ(sharer.strand(), owner.strand());
  bool done = false;
  runtime::spawn(io.get_executor(), [&]() -> Task<void> {
    co_await runtime::runOn(owner.strand(), [&]() -> Task<void> {
      co_await sharer.step("s", 2);
      EXPECT_TRUE(owner.isOnStrand());
    }());
    EXPECT_FALSE(owner.isOnStrand());
    done = true;
  });
  io.run();
  EXPECT_TRUE(done);
}

TEST(SharedTask, RunsOnceForEveryAwaiter) {
  asio::io_context io;
  runtime::ManualClock clock;
  int runs = 0;
  auto task =
      runtime::SharedTask<int>::start(io.get_executor(), [&](runtime::CancelToken t) -> Task<int> {
        ++runs;
        co_await clock.sleep(5, t);
        co_return 42;
      });
  std::vector<int> results;
  for (int i = 0; i < 5; ++i) {
    runtime::spawn(io.get_executor(),
                   [&]() -> Task<void> { results.push_back(co_await task.value()); });
  }
  io.run_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(results.empty());
  EXPECT_FALSE(task.isFinished());
  clock.advance(5);
  io.restart();
  io.run();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(results, std::vector<int>(5, 42));
  EXPECT_TRUE(task.isFinished());

  // A late awaiter gets the same value without another run.
  io.restart();
  runtime::spawn(io.get_executor(),
                 [&]() -> Task<void> { results.push_back(co_await task.value()); });
  io.run();
  EXPECT_EQ(results.size(), 6u);
  EXPECT_EQ(runs, 1);
}

TEST(SharedTask, HandsTheSameErrorToEveryAwaiter) {
  asio::io_context io;
  auto task = runtime::SharedTask<std::string>::start(
      io.get_executor(), [](runtime::CancelToken) -> Task<std::string> {
        throw std::logic_error("refused");
        co_return "";
      });
  int failures = 0;
  for (int i = 0; i < 3; ++i) {
    runtime::spawn(io.get_executor(), [&]() -> Task<void> {
      try {
        co_await task.value();
      } catch (const std::logic_error& e) {
        failures += std::string(e.what()) == "refused";
      }
    });
  }
  io.run();
  EXPECT_EQ(failures, 3);
}

TEST(SharedTask, CancelWakesASleepingTaskWithCancellation) {
  asio::io_context io;
  runtime::SystemClock clock;
  bool reachedEnd = false;
  auto handle =
      runtime::TaskHandle::start(io.get_executor(), [&](runtime::CancelToken t) -> Task<void> {
        co_await clock.sleep(3600, t);
        reachedEnd = true;
      });
  bool cancelled = false;
  runtime::spawn(io.get_executor(), [&]() -> Task<void> {
    try {
      co_await handle.value();
    } catch (const runtime::CancellationError&) {
      cancelled = true;
    }
  });
  io.run_for(std::chrono::milliseconds(10));
  handle.cancel();
  io.restart();
  io.run();  // returns only once the hour-long sleep was woken
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(reachedEnd);
  EXPECT_TRUE(handle.isCancelled());
}

TEST(Sleep, AlreadyCancelledTokenThrowsAtOnce) {
  asio::io_context io;
  runtime::SystemClock clock;
  runtime::CancelSource source;
  source.cancel();
  bool threw = false;
  runtime::spawn(io.get_executor(), [&]() -> Task<void> {
    try {
      co_await clock.sleep(3600, source.token());
    } catch (const runtime::CancellationError&) {
      threw = true;
    }
  });
  io.run();
  EXPECT_TRUE(threw);
}

TEST(ManualClock, SleepersWakeOnlyWhenTheirDeadlinePasses) {
  asio::io_context io;
  runtime::ManualClock clock(100);
  std::vector<int> woke;
  for (int seconds : {30, 10, 20}) {
    runtime::spawn(io.get_executor(), [&, seconds]() -> Task<void> {
      co_await clock.sleep(seconds, {});
      woke.push_back(seconds);
    });
  }
  io.poll();
  EXPECT_EQ(clock.sleepers(), 3u);
  clock.advance(9.5);
  io.poll();
  EXPECT_TRUE(woke.empty());
  clock.advance(10.5);  // uptime 120: the 10 s and 20 s sleepers are due
  io.poll();
  EXPECT_EQ(woke, (std::vector<int>{10, 20}));
  clock.advance(10);
  io.poll();
  EXPECT_EQ(woke, (std::vector<int>{10, 20, 30}));
  EXPECT_DOUBLE_EQ(clock.uptime(), 130);
}

TEST(SystemClock, UptimeIsMonotonicSecondsAndNowIsSince2001) {
  runtime::SystemClock clock;
  auto a = clock.uptime();
  auto b = clock.uptime();
  EXPECT_GE(b, a);
  EXPECT_GT(a, 0);
  // Any date after 2020 is more than 19 years past the reference date.
  EXPECT_GT(clock.now().secondsSinceReferenceDate, 19 * 365.0 * 86400);
  EXPECT_DOUBLE_EQ(runtime::Date{0}.unixSeconds(), 978307200.0);
}
