// What `flowgate run --verbose` logs over one tunnel's life (connect, names
// asked through the tunnel, a dead exit left behind, stop): a line with its
// priority for each event, and not one address, name or token of the lab.

#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"
#include "tests/support/tunnel/namespace_command.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

namespace labtest {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::insideNamespace;

class TunnelLogTest : public testsupport::MintedLabTest {
 protected:
  TunnelLogTest() : MintedLabTest("vk-tunnel-log") {}
  boost::json::object json(const char* name) {
    std::ifstream in(folder_ / name);
    return boost::json::parse(std::string(std::istreambuf_iterator<char>(in), {})).as_object();
  }
};

TEST_F(TunnelLogTest, OneRunLogsEachEventWithoutDestinationsNamesOrTokens) {
  ChildProcess echo(insideNamespace("vkl-world", {TESTBED_ECHO_BIN, "--listen", "198.19.0.53:80"}),
                    ChildProcess::Output::combined);
  ASSERT_TRUE(echo.readLineWithin(10s).value_or("").starts_with("ready"));
  ChildProcess flowgate(
      insideNamespace("vkl-client",
                      {"env", "SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem", FLOWGATE_BIN,
                       "run", "--bootstrap", (folder_ / "bootstrap.json").string(), "--tokens",
                       (folder_ / "tokens.json").string(), "--tun", "vklog0", "--data-dir",
                       (folder_ / "data").string(), "--verbose"}),
      ChildProcess::Output::combined);
  ASSERT_NO_THROW(flowgate.waitForLine([](const std::string& l) { return l == "connected"; }, 30s))
      << flowgate.output();
  auto fetch = [&] {
    auto body = inClient("curl -sS --max-time 3 http://198.19.0.53/").output;
    return body.substr(0, body.find_last_not_of("\n") + 1);
  };
  EXPECT_EQ(fetch(), "203.0.113.2");
  inClient("dig +time=3 +tries=1 +short @198.19.0.53 tunnel.world.lab.example");
  ASSERT_EQ(run("kill -9 $(cat /run/veskar-lab/pids/relay2)").status, 0);
  EXPECT_EQ(fetch(), "203.0.113.1");
  auto ended = flowgate.stop(SIGTERM, 10s);
  ASSERT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << flowgate.output();
  while (!flowgate.readLineWithin(2s).value_or("").empty()) {
  }
  const std::string log = flowgate.output();

  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line == "connected" || std::regex_match(line, std::regex("<[3-7]>.+"))) << line;
  }
  for (const char* event :
       {"<6>tunnel starting\n", "<5>tunnel connected\n", "<7>path connected: nodes ",
        "<4>a path failed; ", "<5>tunnel stopped\n"}) {
    EXPECT_NE(log.find(event), std::string::npos) << event << " not in\n" << log;
  }

  auto tokens = json("tokens.json");
  for (const auto& secret : {tokens.at("accessToken"), tokens.at("refreshToken"),
                             json("bootstrap.json").at("deviceCredential")}) {
    ASSERT_GT(secret.as_string().size(), 8u);
    EXPECT_EQ(log.find(secret.as_string().c_str()), std::string::npos) << "a token is logged";
  }
  for (const char* destination : {"203.0.113.", "198.19.", "198.18.", "192.0.2.", "198.51.100.",
                                  "lab.example", ":443", ":80"}) {
    EXPECT_EQ(log.find(destination), std::string::npos) << destination << " in\n" << log;
  }
}

}  // namespace
}  // namespace labtest
