#include "platform/system_resolvers.hpp"
#include "platform/resolv_conf_dns.hpp"
#include "tests/support/async/run_task.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using Servers = std::vector<std::string>;

TEST(SystemResolvers, TakeTheFirstSourceWithADottedQuad) {
  const Servers fallback{"198.51.100.53", "not-an-address"};
  struct Case {
    Servers link, global, expected;
  } cases[] = {
      {{"2001:db8::1", "192.0.2.53", "192.0.2.54"}, {"203.0.113.53"}, {"192.0.2.53", "192.0.2.54"}},
      // Only IPv6 on the default route's link: the global list answers.
      {{"2001:db8::1"}, {"fe80::1", "203.0.113.53"}, {"203.0.113.53"}},
      // Nothing usable anywhere: the fallback, not filtered.
      {{"2001:db8::1"}, {"2001:db8::2"}, fallback},
      {{}, {}, fallback},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::chooseResolvers(c.link, c.global, fallback), c.expected);
  }
}

TEST(SystemResolvers, ReadTheResolverFileWithoutLocalStubs) {
  EXPECT_EQ(platform::resolvConfServers("# generated\nnameserver 127.0.0.53\n"
                                        "nameserver   192.0.2.53  # primary\n"
                                        "search example.test\nnameserver 2001:db8::53\n"
                                        "nameserver\n;nameserver 192.0.2.9\n"),
            (Servers{"192.0.2.53", "2001:db8::53"}));
}

TEST(SystemResolvers, ReadTheSavedOriginalWhileOurFileIsInPlace) {
  char pattern[] = "/tmp/veskar-resolvers-XXXXXX";
  fs::path root = ::mkdtemp(pattern);
  platform::ResolvConfPaths paths{root / "resolv.conf", root / "saved" / "resolv.conf"};
  std::ofstream(paths.file) << "nameserver 127.0.0.53\nnameserver 192.0.2.53\n";
  // No resolved on this bus: the file is the only source.
  platform::LinuxSystemResolvers resolvers({paths, "unix:path=" + (root / "no-bus").string(), {}});
  boost::asio::io_context io;
  EXPECT_EQ(testsupport::runTask(io, resolvers.systemDNSResolvers({"198.51.100.1"})),
            Servers{"192.0.2.53"});

  platform::ResolvConfDNS dns(paths);
  dns.apply("vkpt0", 7, {{"198.18.0.53"}, {""}, true});
  EXPECT_EQ(resolvers.lookupNow({"198.51.100.1"}), Servers{"192.0.2.53"});
  dns.revert();

  // A resolver file merged with the tunnel's servers (resolvconf).
  std::ofstream(paths.file, std::ios::trunc) << "nameserver 198.18.0.53\nnameserver 192.0.2.53\n";
  resolvers.excludeServers({"198.18.0.53"});
  EXPECT_EQ(resolvers.lookupNow({"198.51.100.1"}), Servers{"192.0.2.53"});

  std::ofstream(paths.file, std::ios::trunc) << "nameserver 127.0.0.53\n";
  EXPECT_EQ(resolvers.lookupNow({"198.51.100.1"}), Servers{"198.51.100.1"});
  fs::remove_all(root);
}
