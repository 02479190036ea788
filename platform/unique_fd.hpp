#pragma once

// The one owner of a raw file descriptor: closes it when it goes, moves but
// never copies. -1 means "none".

#include <fcntl.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include <cerrno>

#include <utility>

namespace platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the owned descriptor (errors ignored) and takes `fd`.
  void reset(int fd = -1) noexcept {
    int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

// A second descriptor for the same open file (close-on-exec), for an Asio
// object that must own what it waits on while another owner keeps the first.
inline int duplicateDescriptor(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) throw boost::system::system_error(errno, boost::system::system_category(), "dup");
  return copy;
}

}  // namespace platform
