#pragma once

// The lock that serializes token refreshes across the application's
// processes: an exclusive flock on a file in the user's runtime directory.
// The file is private to the user (0600, opened without following a symlink)
// so no other user can hold it and stall every refresh. It is never deleted.

#include "runtime/async.hpp"

#include <filesystem>
#include <optional>

namespace veskar {

class RefreshFileLock {
 public:
  // "<bundle prefix>.macos-token-refresh.lock" in $XDG_RUNTIME_DIR, else in
  // the user's data directory.
  static std::filesystem::path defaultPath();

  // Suspends, without blocking the caller's executor, until the lock is held.
  // Nothing when the file cannot be opened or locked: the caller goes on
  // without a lock.
  static runtime::Task<std::optional<RefreshFileLock>> acquire(std::filesystem::path path);

  RefreshFileLock(RefreshFileLock&& other) noexcept;
  RefreshFileLock& operator=(RefreshFileLock&& other) noexcept;
  RefreshFileLock(const RefreshFileLock&) = delete;
  RefreshFileLock& operator=(const RefreshFileLock&) = delete;
  // Unlocks, then closes.
  ~RefreshFileLock();

  int descriptor() const { return descriptor_; }

 private:
  explicit RefreshFileLock(int descriptor) : descriptor_(descriptor) {}
  int descriptor_ = -1;
};

}  // namespace veskar
