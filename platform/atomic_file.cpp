#include "platform/atomic_file.hpp"
#include "platform/unique_fd.hpp"

#include "runtime/error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace platform {

namespace {

[[noreturn]] void failWith(int error) {
  throw runtime::SystemError(runtime::ErrorCode(error, boost::system::system_category()));
}

[[noreturn]] void failWithErrno() { failWith(errno); }

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  int get() const { return fd_.get(); }
  // Closes now, reporting the error a deferred write may surface only here.
  void close() {
    if (::close(fd_.release()) != 0) failWithErrno();
  }

 private:
  UniqueFd fd_;
};

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      failWithErrno();
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::filesystem::path directoryOf(const std::filesystem::path& path) {
  auto parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

std::optional<std::string> readFileNoFollow(const std::filesystem::path& path,
                                            std::size_t maxSize) {
  // O_NONBLOCK: opening a FIFO planted at the path must not hang the reader.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    failWithErrno();
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) failWithErrno();
  if (!S_ISREG(status.st_mode)) failWith(EINVAL);
  // Refused before reading, so an oversized file costs no memory.
  if (static_cast<std::uintmax_t>(status.st_size) > maxSize) failWith(EFBIG);
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      failWithErrno();
    }
    if (count == 0) break;
    if (content.size() + static_cast<std::size_t>(count) > maxSize) failWith(EFBIG);
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
  std::filesystem::path directory = directoryOf(path);
  Descriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.get() < 0) failWithErrno();

  std::string name = path.filename();
  struct stat existing {};
  if (::fstatat(directoryFd.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(existing.st_mode)) failWith(ELOOP);
    if (!S_ISREG(existing.st_mode)) failWith(EINVAL);
  } else if (errno != ENOENT) {
    failWithErrno();
  }

  // mkostemp creates the file exclusively with 0600, so nobody else can open it
  // before its mode is set.
  std::string temporary = (directory / ("." + name + ".XXXXXX")).string();
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) failWithErrno();
  try {
    if (::fchmod(fd.get(), mode) != 0) failWithErrno();
    writeAll(fd.get(), bytes);
    if (::fsync(fd.get()) != 0) failWithErrno();
    fd.close();
    if (::rename(temporary.c_str(), path.c_str()) != 0) failWithErrno();
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename is durable only once the directory entry is on disk.
  if (::fsync(directoryFd.get()) != 0) failWithErrno();
}

void createDirectories(const std::filesystem::path& directory, mode_t mode) {
  std::filesystem::path current;
  for (const auto& part : directory) {
    current /= part;
    if (::mkdir(current.c_str(), mode) == 0) {
      // mkdir applies the umask; the mode must be exact.
      Descriptor created(::open(current.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (created.get() < 0 || ::fchmod(created.get(), mode) != 0) failWithErrno();
      continue;
    }
    if (errno != EEXIST) failWithErrno();
    struct stat status {};
    if (::stat(current.c_str(), &status) != 0) failWithErrno();
    if (!S_ISDIR(status.st_mode)) failWith(ENOTDIR);
  }
}

}  // namespace platform
