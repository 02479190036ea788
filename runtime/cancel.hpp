#pragma once

// Cooperative cancellation. A task checks its token where it may stop, and
// whatever it waits on (timers, sockets) registers a callback that cancels the
// wait. Callbacks run on the thread that cancels; they must only post work.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace runtime {

// Thrown by awaits that a cancellation ended.
struct CancellationError : std::exception {
  const char* what() const noexcept override { return "cancelled"; }
};

class CancelState {
 public:
  bool isCancelled() const;
  void cancel();
  std::uint64_t add(std::function<void()> callback);  // runs now when already cancelled
  void remove(std::uint64_t id);

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::uint64_t nextID_ = 1;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> callbacks_;
};

// Removes its callback when destroyed, so a finished wait is not cancelled late.
class CancelRegistration {
 public:
  CancelRegistration() = default;
  CancelRegistration(std::shared_ptr<CancelState> state, std::function<void()> callback);
  CancelRegistration(CancelRegistration&& other) noexcept;
  CancelRegistration& operator=(CancelRegistration&& other) noexcept;
  CancelRegistration(const CancelRegistration&) = delete;
  CancelRegistration& operator=(const CancelRegistration&) = delete;
  ~CancelRegistration();

 private:
  void reset();
  std::shared_ptr<CancelState> state_;
  std::uint64_t id_ = 0;
};

// The side a task holds. A default token is never cancelled.
class CancelToken {
 public:
  CancelToken() = default;
  explicit CancelToken(std::shared_ptr<CancelState> state) : state_(std::move(state)) {}

  bool isCancelled() const { return state_ && state_->isCancelled(); }
  void throwIfCancelled() const {
    if (isCancelled()) throw CancellationError();
  }
  [[nodiscard]] CancelRegistration onCancel(std::function<void()> callback) const;

 private:
  std::shared_ptr<CancelState> state_;
};

// The side a task's owner holds.
class CancelSource {
 public:
  CancelSource() : state_(std::make_shared<CancelState>()) {}
  CancelToken token() const { return CancelToken(state_); }
  void cancel() const { state_->cancel(); }
  bool isCancelled() const { return state_->isCancelled(); }

 private:
  std::shared_ptr<CancelState> state_;
};

}  // namespace runtime
