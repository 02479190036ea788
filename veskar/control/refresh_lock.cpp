#include "veskar/control/refresh_lock.hpp"

#include "platform/data_directory.hpp"
#include "platform/secret_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace veskar {

namespace {

// How often a waiter tries the lock again while another process holds it.
constexpr std::chrono::milliseconds kRetryInterval(25);

}  // namespace

std::filesystem::path RefreshFileLock::defaultPath() {
  std::string name = std::string(platform::kBundlePrefix) + ".macos-token-refresh.lock";
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory && *runtimeDirectory == '/') {
    return std::filesystem::path(runtimeDirectory) / name;
  }
  return platform::userDataDirectory() / name;
}

runtime::Task<std::optional<RefreshFileLock>> RefreshFileLock::acquire(std::filesystem::path path) {
  std::error_code ignored;
  if (!std::filesystem::exists(path.parent_path(), ignored)) {
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all, ignored);
  }
  int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) co_return std::nullopt;
  RefreshFileLock lock(descriptor);
  // Tried without blocking and retried on a timer: the executor stays free, and
  // a wait abandoned at shutdown leaves no thread behind.
  runtime::asio::steady_timer retry(co_await runtime::asio::this_coro::executor);
  while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) co_return std::nullopt;
    retry.expires_after(kRetryInterval);
    co_await retry.async_wait(runtime::asio::use_awaitable);
  }
  co_return std::optional(std::move(lock));
}

RefreshFileLock::RefreshFileLock(RefreshFileLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

RefreshFileLock& RefreshFileLock::operator=(RefreshFileLock&& other) noexcept {
  if (this != &other) {
    RefreshFileLock old(std::move(*this));
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

RefreshFileLock::~RefreshFileLock() {
  if (descriptor_ < 0) return;
  ::flock(descriptor_, LOCK_UN);
  ::close(descriptor_);
}

}  // namespace veskar
