// The resolver file backend where /etc/resolv.conf is a bind mount, as

#include "tests/support/files/file_contents.hpp"
// `ip netns exec` makes it: the file must be written through the mount.

#include "platform/resolv_conf_dns.hpp"

#include <gtest/gtest.h>

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

using testsupport::readAll;

namespace {

// Runs in a child with a private mount namespace; the exit status names the
// first check that failed.
int applyAndRevertThroughMount(const fs::path& root) {
  if (::unshare(CLONE_NEWNS) != 0) return 10;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
  const std::string original = "nameserver 192.0.2.53\n";
  std::ofstream(root / "etc" / "resolv.conf") << "hidden by the mount\n";
  std::ofstream(root / "netns.conf") << original;
  if (::mount((root / "netns.conf").c_str(), (root / "etc" / "resolv.conf").c_str(), nullptr,
              MS_BIND, nullptr) != 0) {
    return 12;
  }
  try {
    platform::ResolvConfDNS dns({root / "etc" / "resolv.conf", root / "state" / "original"});
    dns.apply("tun0", 1, platform::DNSSettings{{"198.18.0.53"}, {""}, true});
    if (!readAll(root / "netns.conf").starts_with(platform::kResolvConfMarker)) return 1;
    dns.revert();
    if (readAll(root / "netns.conf") != original) return 2;
  } catch (...) {
    return 3;
  }
  return 0;
}

}  // namespace

TEST(ResolvConfMount, WritesThroughABindMountedFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  char pattern[] = "/tmp/veskar-resolv-mount-XXXXXX";
  fs::path root = ::mkdtemp(pattern);
  fs::create_directories(root / "etc");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(applyAndRevertThroughMount(root));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  fs::remove_all(root);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
