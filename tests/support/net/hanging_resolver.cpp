#include "tests/support/net/hanging_resolver.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
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

constexpr const char* kServer = "127.77.0.53";

[[noreturn]] void failWith(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A network namespace of the process's own, holding only loopback: port 53 is
// surely free there, and nothing the test does can leave the machine.
void enterOwnNetwork() {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) failWith("unshare");
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) failWith("socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  if (!up) failWith("loopback up");
}

}  // namespace

HangingResolver::HangingResolver() {
  enterOwnNetwork();
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) failWith("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  std::string server = kServer;
  ::inet_pton(AF_INET, kServer, &address.sin_addr);
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
