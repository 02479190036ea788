#include "tests/support/net/hanging_resolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace testsupport {

namespace {

// A loopback address of this process's own, so test programs running side by
// side each have their silent server on port 53.
std::string serverAddress() {
  auto pid = static_cast<unsigned>(::getpid());
  return "127.77." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string((pid & 0xff) | 1);
}

[[noreturn]] void failWith(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

HangingResolver::HangingResolver() {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) failWith("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  auto server = serverAddress();
  ::inet_pton(AF_INET, server.c_str(), &address.sin_addr);
  // Bound, so queries are queued and never refused with an ICMP error.
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    failWith("bind " + server + ":53");
  }

  char pattern[] = "/tmp/veskar-resolv-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) failWith("mkstemp");
  ::close(fd);
  file_ = pattern;
  std::ofstream(file_) << "nameserver " << server << "\noptions timeout:30 attempts:5\n";

  if (::unshare(CLONE_NEWNS) != 0) failWith("unshare");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) failWith("mount private");
  if (::mount(file_.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
    failWith("bind resolv.conf");
  }
}

HangingResolver::~HangingResolver() {
  // Lookups still hanging keep the namespace; only the files go.
  if (!file_.empty()) ::unlink(file_.c_str());
  if (socket_ >= 0) ::close(socket_);
}

}  // namespace testsupport
