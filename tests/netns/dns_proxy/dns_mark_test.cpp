// Upstream DNS queries leave with the daemon's routing mark, so the tunnel's
// routing rule never takes them into the tunnel. Checked in a namespace of the
// test's own, where an nftables counter sees every datagram's mark.

#include "flowgate/routing/dns_proxy.hpp"
#include "platform/connector.hpp"
#include "runtime/error.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <regex>

namespace {

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) text += buffer.data();
    ::pclose(pipe);
  }
  return text;
}

}  // namespace

TEST(DNSUpstreamMark, QueriesCarryTheRoutingMark) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (!run("ip netns list") || !run("nft --version")) GTEST_SKIP() << "ip netns or nft missing";
  const std::string ns = "vkd-" + std::to_string(::getpid());
  struct Cleanup {
    std::string ns;
    ~Cleanup() { run("ip netns del " + ns); }
  } cleanup{ns};
  constexpr int port = 5399;
  char mark[16];
  std::snprintf(mark, sizeof mark, "0x%x", platform::kRoutingMark);
  for (const auto& command : {
           "ip netns add " + ns,
           "ip -n " + ns + " link set lo up",
           "ip netns exec " + ns + " nft add table ip vkd",
           "ip netns exec " + ns +
               " nft add chain ip vkd out '{ type filter hook output priority 0; }'",
           "ip netns exec " + ns + " nft add rule ip vkd out udp dport " + std::to_string(port) +
               " meta mark " + mark + " counter",
           "ip netns exec " + ns + " nft add rule ip vkd out udp dport " + std::to_string(port) +
               " meta mark != " + mark + " counter",
       }) {
    ASSERT_TRUE(run(command)) << command;
  }

  // Sockets belong to the namespace of the thread that creates them.
  auto outcome = std::async(std::launch::async, [&] {
    int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) return false;
    ::close(fd);
    boost::asio::io_context io;
    bool refused = false;
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        auto query = dns_test::query(1, "a.test.example", dns_test::typeA);
        co_await flowgate::DNSProxy::queryUDP(query, "127.0.0.1", std::chrono::seconds(1), port);
      } catch (const runtime::SystemError&) {
        refused = true;  // nobody listens; the datagram has left all the same
      }
    });
    io.run();
    return refused;
  });
  ASSERT_TRUE(outcome.get());

  const auto rules = output("ip netns exec " + ns + " nft list chain ip vkd out");
  std::smatch match;
  std::vector<std::string> counts;
  for (auto it = rules.cbegin();
       std::regex_search(it, rules.cend(), match, std::regex("packets (\\d+)"));
       it = match.suffix().first) {
    counts.push_back(match[1]);
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"1", "0"})) << rules;
}
