#include "veskar/control/refresh_lock.hpp"

#include "platform/data_directory.hpp"
#include "platform/secret_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace veskar {

namespace {

int lockBlocking(int descriptor) {
  int result;
  do {
    result = ::flock(descriptor, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

// The blocking wait runs on a thread of its own; the caller's coroutine resumes
// on its executor with the outcome.
runtime::Task<int> lockOffExecutor(int descriptor) {
  return runtime::asio::async_initiate<const runtime::asio::use_awaitable_t<>&, void(int)>(
      [descriptor](auto handler) {
        std::thread([descriptor, handler = std::move(handler)]() mutable {
          int error = lockBlocking(descriptor);
          auto executor = runtime::asio::get_associated_executor(handler);
          runtime::asio::post(executor, [handler = std::move(handler), error]() mutable {
            std::move(handler)(error);
          });
        }).detach();
      },
      runtime::asio::use_awaitable);
}

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
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) co_return std::optional(std::move(lock));
  if (errno != EWOULDBLOCK) co_return std::nullopt;
  int error = co_await lockOffExecutor(descriptor);
  if (error != 0) co_return std::nullopt;
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
