// Who may control the tunnel: a peer running as an unprivileged user is
// refused every request unless the control group is its primary or one of its
// supplementary groups. Either refusal (socket file, host) names the host's group.

#include "socket_fixture.hpp"

#include "tests/support/process/child_process.hpp"

namespace tunnelhostsocket {
namespace {

constexpr const char* operations[] = {"save",    "loadAll", "load",   "start",      "connection",
                                      "message", "stop",    "remove", "setLockdown"};

TEST_F(SocketTest, OnlyRootAndTheGroupMayControl) {
  struct Case {
    const char* name;
    std::vector<std::string> credentials;  // setpriv's
    bool openToEveryone;                   // the socket file's mode no longer keeps anyone out
    bool served;
  };
  const std::string groupID = std::to_string(gid);
  const Case cases[] = {
      {"outside the group", {"--regid=65534", "--clear-groups"}, false, false},
      {"outside the group, socket open", {"--regid=65534", "--clear-groups"}, true, false},
      {"supplementary group", {"--regid=65534", "--groups=" + groupID}, false, true},
      {"primary group", {"--regid=" + groupID, "--clear-groups"}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chmod(path.c_str(), c.openToEveryone ? 0666 : 0660), 0);
    std::vector<std::string> arguments{"setpriv", "--reuid=65534"};
    arguments.insert(arguments.end(), c.credentials.begin(), c.credentials.end());
    arguments.insert(arguments.end(), {TUNNEL_HOST_PEER, path.native()});
    testsupport::ChildProcess peer(arguments, testsupport::ChildProcess::Output::captured);
    ASSERT_TRUE(testsupport::runUntil(
        io, [&] { return !peer.alive(); }, std::chrono::seconds(20)));
    std::vector<std::string> lines;
    while (auto line = peer.readLineWithin(std::chrono::seconds(1))) {
      if (line->empty()) break;
      if (line->back() == '\n') line->pop_back();
      lines.push_back(*line);
    }
    std::vector<std::string> expected;
    for (const char* operation : operations)
      expected.push_back(std::string(operation) +
                         (c.served ? " ok" : " system 13 Permission denied group " + group));
    EXPECT_EQ(lines, expected);
  }
  // Only the two members reached the host.
  EXPECT_EQ(host->saves, 2u);
  EXPECT_EQ(host->starts.size(), 2u);
  EXPECT_EQ(host->lockdownSets.size(), 2u);
}

}  // namespace
}  // namespace tunnelhostsocket
