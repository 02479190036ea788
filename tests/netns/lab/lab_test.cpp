// The lab script against the real kernel: its namespaces, links, processes and
// files, and what a plain client inside it can reach.

#include "tests/support/lab/lab_fixture.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace labtest {
namespace {

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.insert(line);
  return result;
}

std::set<std::string> labNamespaces() {
  std::set<std::string> result;
  for (const auto& line : lines(run("ip netns list").output)) {
    if (line.starts_with("vkl-")) result.insert(line.substr(0, line.find(' ')));
  }
  return result;
}

// Host links by name, without their changing counters and states.
std::set<std::string> hostLinks() {
  return lines(run("ip -o link show | awk -F': ' '{print $2}'").output);
}

bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // A zombie waits only for its parent to reap it: it holds nothing.
  auto state = text.substr(text.rfind(')') + 2, 1);
  return state != "Z" && state != "X";
}

TEST_F(LabTest, DownLeavesNoNamespaceLinkProcessOrFile) {
  auto linksBefore = hostLinks();
  up();
  // Up again over a running lab: it starts afresh. From a shell holding a
  // descriptor, as one holding the lab lock would: no server may keep it.
  char held[] = "/tmp/vkl-held-XXXXXX";
  ::close(::mkstemp(held));
  auto again = run("sh -c 'exec 9<" + std::string(held) + " && " + lab("up") + "'");
  ASSERT_EQ(again.status, 0) << again.output;
  ASSERT_EQ(labNamespaces().size(), 9u);
  std::set<pid_t> processes;
  for (const auto& ns : labNamespaces()) {
    std::istringstream pids(run("ip netns pids " + ns).output);
    for (pid_t pid; pids >> pid;) processes.insert(pid);
  }
  EXPECT_GE(processes.size(), 8u);
  for (auto pid : processes) {
    std::error_code error;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      EXPECT_NE(std::filesystem::read_symlink(fd.path(), error), held) << pid;
    }
  }
  std::filesystem::remove(held);
  EXPECT_TRUE(std::filesystem::exists("/run/veskar-lab"));

  auto down = run(lab("down"));
  ASSERT_EQ(down.status, 0) << down.output;
  EXPECT_TRUE(labNamespaces().empty());
  for (auto pid : processes) EXPECT_FALSE(running(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists("/run/veskar-lab"));
  for (const auto& entry : std::filesystem::directory_iterator(
           "/etc/netns", std::filesystem::directory_options::skip_permission_denied)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("vkl-")) << entry.path();
  }
  EXPECT_EQ(hostLinks(), linksBefore);
  // Down again: nothing to do, no error.
  EXPECT_EQ(run(lab("down")).status, 0);
}

TEST_F(LabTest, ClientReachesTheControlServerAndResolvesThroughTheLabResolver) {
  up();
  auto resolv = inClient("cat /etc/resolv.conf");
  EXPECT_EQ(resolv.output, "nameserver 198.51.100.53\n");

  auto hosts = inClient("getent hosts control.lab.example");
  EXPECT_EQ(hosts.status, 0) << hosts.output;
  EXPECT_TRUE(hosts.output.starts_with("198.51.100.20 ")) << hosts.output;
  auto dig = inClient("dig +short +time=2 +tries=1 @198.51.100.53 relay3.lab.example");
  EXPECT_EQ(dig.output, "192.0.2.133\n");

  auto bundle = inClient(
      "curl -sS --max-time 5 -o /dev/null -w '%{http_code}' "
      "--cacert /run/veskar-lab/pki/control-ca.pem https://control.lab.example/v1/trust-bundle");
  EXPECT_EQ(bundle.output, "200") << bundle.output;

  // The direct host sees the client itself; the world is out of reach without the tunnel.
  EXPECT_EQ(inClient("curl -sS --max-time 5 http://direct.lab.example/").output, "198.51.100.10\n");
  EXPECT_NE(inClient("curl -sS --max-time 2 http://203.0.113.80/").status, 0);
  // Each exit reaches the world under its own address, and the tunnel's DNS server.
  EXPECT_EQ(run("ip netns exec vkl-relay2 curl -sS --max-time 5 http://198.18.0.80/").output,
            "203.0.113.2\n");
  EXPECT_EQ(run("ip netns exec vkl-relay1 dig +short +time=2 +tries=1 @198.19.0.53 "
                "us.world.lab.example")
                .output,
            "203.0.113.180\n");
}

}  // namespace
}  // namespace labtest
