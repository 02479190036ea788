// Local routes read from the kernel's interface list, in a network namespace
// of the test's own with real links (removed however the test ends).

#include "veskar/control/local_network.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

namespace veskar {
namespace {

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class Namespace {
 public:
  Namespace() : name("vka-" + std::to_string(::getpid())) {}
  ~Namespace() { run("ip netns del " + name); }
  bool create() { return run("ip netns add " + name); }
  bool ip(const std::string& arguments) { return run("ip -n " + name + " " + arguments); }

  // localRoutes() as seen from inside the namespace (from a thread that joins it).
  std::vector<std::string> localRoutesInside() {
    return std::async(std::launch::async,
                      [this] {
                        int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
                        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
                          throw std::runtime_error("cannot join " + name);
                        }
                        ::close(fd);
                        return localRoutes();
                      })
        .get();
  }

  const std::string name;
};

TEST(LocalRoutesInANamespace, ReadsTheKernelsInterfaces) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (!std::filesystem::exists("/dev/net/tun")) GTEST_SKIP() << "no /dev/net/tun";
  Namespace ns;
  ASSERT_TRUE(ns.create());

  // Loopback and a point-to-point tunnel only: nothing.
  ASSERT_TRUE(ns.ip("link set lo up"));
  ASSERT_TRUE(ns.ip("tuntap add dev vkat0 mode tun"));
  ASSERT_TRUE(ns.ip("addr add 198.18.5.1 peer 198.18.5.2 dev vkat0"));
  ASSERT_TRUE(ns.ip("link set vkat0 up"));
  EXPECT_TRUE(ns.localRoutesInside().empty());

  // Two addresses of one network, a /32, and an interface that is down.
  ASSERT_TRUE(ns.ip("link add vkav0 type veth peer name vkav1"));
  ASSERT_TRUE(ns.ip("addr add 198.51.100.7/24 dev vkav0"));
  ASSERT_TRUE(ns.ip("addr add 198.51.100.9/24 dev vkav0"));
  ASSERT_TRUE(ns.ip("addr add 203.0.113.9/32 dev vkav0"));
  ASSERT_TRUE(ns.ip("link set vkav0 up"));
  ASSERT_TRUE(ns.ip("addr add 192.0.2.5/24 dev vkav1"));
  EXPECT_EQ(ns.localRoutesInside(),
            (std::vector<std::string>{"198.51.100.0/24", "203.0.113.9/32"}));
}

}  // namespace
}  // namespace veskar
