#pragma once

// A settings applier for tests: remembers what it was asked to do and fails
// with an error the test sets.

#include "platform/settings_applier.hpp"
#include "runtime/error.hpp"

#include <cstddef>
#include <mutex>
#include <vector>

namespace platform {

class RecordingSettingsApplier final : public SettingsApplier {
 public:
  runtime::Task<void> apply(NetworkSettings settings) override {
    std::lock_guard lock(mutex_);
    applied_.push_back(std::move(settings));
    if (failure_) throw runtime::SystemError(failure_);
    co_return;
  }
  runtime::Task<void> remove() override {
    std::lock_guard lock(mutex_);
    ++removals_;
    co_return;
  }

  // Every later apply() records its settings and then fails with `error`.
  void failWith(runtime::ErrorCode error) {
    std::lock_guard lock(mutex_);
    failure_ = error;
  }
  std::vector<NetworkSettings> applied() const {
    std::lock_guard lock(mutex_);
    return applied_;
  }
  std::size_t removals() const {
    std::lock_guard lock(mutex_);
    return removals_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<NetworkSettings> applied_;
  std::size_t removals_ = 0;
  runtime::ErrorCode failure_;
};

}  // namespace platform
