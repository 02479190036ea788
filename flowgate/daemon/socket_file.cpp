#include "flowgate/daemon/socket_file.hpp"

#include "runtime/error.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace flowgate::daemon {

namespace {

runtime::ErrorCode errnoCode(int value) {
  return runtime::ErrorCode(value, boost::system::system_category());
}

[[noreturn]] void failWith(int value, const std::string& what) {
  throw runtime::SystemError(errnoCode(value), what);
}

// Whether a daemon accepts on the socket at `path`.
bool someoneListens(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof address.sun_path) failWith(ENAMETOOLONG, text);
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) failWith(errno, "socket");
  // Non-blocking: a full backlog (EAGAIN) still means someone listens.
  bool listens = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                 errno == EAGAIN;
  ::close(fd);
  return listens;
}

}  // namespace

gid_t groupNamed(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  int error = 0;
  while ((error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE)
    buffer.resize(buffer.size() * 2);
  if (error != 0) failWith(error, "group " + name);
  if (!found) failWith(ENOENT, "group " + name);
  return entry.gr_gid;
}

void prepareSocketPath(const std::filesystem::path& path) {
  auto directory = path.parent_path();
  if (!directory.empty()) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
      if (errno != ENOENT) failWith(errno, directory);
      std::error_code error;
      std::filesystem::create_directories(directory, error);
      if (error) failWith(error.value(), directory);
      // Whatever the umask left: clients must reach the socket inside.
      if (::chmod(directory.c_str(), 0755) != 0) failWith(errno, directory);
    }
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    failWith(errno, path);
  }
  if (!S_ISSOCK(status.st_mode) || someoneListens(path)) failWith(EADDRINUSE, path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) failWith(errno, path);
}

FileIdentity restrictSocketFile(const std::filesystem::path& path, gid_t group) {
  // The owner stays (root for the daemon); only the group changes.
  if (::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) failWith(errno, path);
  if (::chmod(path.c_str(), 0660) != 0) failWith(errno, path);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) failWith(errno, path);
  return {status.st_dev, status.st_ino};
}

void removeSocketFile(const std::filesystem::path& path, const FileIdentity& identity) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return;
  if (status.st_dev == identity.first && status.st_ino == identity.second) ::unlink(path.c_str());
}

}  // namespace flowgate::daemon
