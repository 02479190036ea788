#pragma once

// Time as the system sees it, injectable so tests move time instead of waiting.
// `uptime()` is the host's monotonic uptime in seconds (routing, pool and session
// durations); `now()` is the wall-clock date (token and credential expiry).

#include "runtime/async.hpp"
#include "runtime/cancel.hpp"
#include "runtime/date.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace runtime {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double uptime() const = 0;
  virtual Date now() const = 0;
  // Suspends for `seconds` of this clock's uptime. Throws CancellationError when
  // the token is cancelled first. Await from a strand or a single-threaded context.
  virtual Task<void> sleep(double seconds, CancelToken token) = 0;
};

class SystemClock final : public Clock {
 public:
  double uptime() const override;
  Date now() const override;
  Task<void> sleep(double seconds, CancelToken token) override;
};

// A clock that moves only when told to. Sleepers wake once advance() passes
// their deadline and their executor runs.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(double uptime = 1000, Date now = Date{800000000});

  double uptime() const override;
  Date now() const override;
  Task<void> sleep(double seconds, CancelToken token) override;

  void advance(double seconds);
  void setNow(Date now);
  std::size_t sleepers() const;

 private:
  struct Sleeper;
  mutable std::mutex mutex_;
  double uptime_;
  Date now_;
  std::vector<std::weak_ptr<Sleeper>> sleepers_;
};

}  // namespace runtime
