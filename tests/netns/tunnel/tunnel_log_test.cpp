// What `flowgate run --verbose` logs over one tunnel's life (connect, a dead
// exit left behind, names asked through the tunnel, stop): an event line with
// its priority for each step, and not one address, name or token of the lab.

#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"
#include "tests/support/tunnel/namespace_command.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>

namespace labtest {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::insideNamespace;

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

class TunnelLogTest : public testsupport::MintedLabTest {
 protected:
  TunnelLogTest() : MintedLabTest("vk-tunnel-log") {}

  std::string fetch(const std::string& host) {
    auto body = inClient("curl -sS --max-time 3 http://" + host + "/").output;
    while (!body.empty() && std::isspace(static_cast<unsigned char>(body.back()))) body.pop_back();
    return body;
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

  EXPECT_EQ(fetch("198.19.0.53"), "203.0.113.2");
  inClient("dig +time=3 +tries=1 +short @198.19.0.53 tunnel.world.lab.example");
  std::ifstream pidFile("/run/veskar-lab/pids/relay2");
  pid_t relay2 = 0;
  pidFile >> relay2;
  ASSERT_GT(relay2, 0);
  ASSERT_EQ(::kill(relay2, SIGKILL), 0);
  EXPECT_EQ(fetch("198.19.0.53"), "203.0.113.1");
  auto ended = flowgate.stop(SIGTERM, 10s);
  ASSERT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << flowgate.output();
  while (flowgate.readLineWithin(2s).value_or("") != "") {
  }
  const std::string log = flowgate.output();

  // Every line but the outcome carries a syslog priority.
  std::istringstream lines(log);
  const std::regex prefixed("<[3-7]>[^<>]+");
  for (std::string line; std::getline(lines, line);) {
    if (line != "connected") EXPECT_TRUE(std::regex_match(line, prefixed)) << line;
  }
  EXPECT_NE(log.find("<6>tunnel starting\n"), std::string::npos) << log;
  EXPECT_NE(log.find("<5>tunnel connected\n"), std::string::npos) << log;
  EXPECT_NE(log.find("<7>path connected: nodes "), std::string::npos) << log;
  EXPECT_NE(log.find("<4>a path of 2 nodes failed"), std::string::npos) << log;
  EXPECT_NE(log.find("<5>tunnel stopped\n"), std::string::npos) << log;

  // Nothing of where traffic went, what was asked, or what signs the tunnel in.
  auto tokens = boost::json::parse(readAll(folder_ / "tokens.json")).as_object();
  auto bootstrap = boost::json::parse(readAll(folder_ / "bootstrap.json")).as_object();
  std::vector<std::string> secrets{
      std::string(tokens.at("accessToken").as_string()),
      std::string(tokens.at("refreshToken").as_string()),
      std::string(bootstrap.at("deviceCredential").as_string()),
  };
  for (const auto& secret : secrets) {
    ASSERT_GT(secret.size(), 8u);
    EXPECT_EQ(log.find(secret), std::string::npos) << "a token is in the log";
  }
  for (const char* destination : {"203.0.113.", "198.19.", "198.18.", "192.0.2.", "198.51.100.",
                                  "lab.example", ":443", ":80"}) {
    EXPECT_EQ(log.find(destination), std::string::npos) << destination << " in\n" << log;
  }
}

}  // namespace
}  // namespace labtest
