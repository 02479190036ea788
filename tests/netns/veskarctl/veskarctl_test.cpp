// `veskarctl` end to end: the daemon in the lab's client namespace, signed in
// against the lab's control server, the tunnel turned on and off through the
// application core over the daemon's socket; and how it fails: a wrong
// password, a daemon that is not running, a start the daemon rejects, a
// wrong command line.

#include "tests/support/files/file_contents.hpp"
#include "tests/support/files/temporary_directory.hpp"
#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"
#include "tests/support/tunnel/namespace_command.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace labtest {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::insideNamespace;

struct CtlResult {
  int status = -1;  // the exit status
  std::string out;
  std::string err;
};

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// One command of `veskarctl` run through the shell, with its own home (so its
// sign-in and settings stay in `home`) and the given environment.
CtlResult veskarctl(const std::filesystem::path& home, const std::string& environment,
                    const std::string& arguments, const std::string& prefix = "") {
  auto err = home / "stderr";
  auto command = "{ " + prefix + "env HOME=" + home.string() +
                 " XDG_CONFIG_HOME=" + (home / "config").string() +
                 " XDG_DATA_HOME=" + (home / "data").string() +
                 " XDG_RUNTIME_DIR=" + home.string() + " " + environment + " " VESKARCTL_BIN " " +
                 arguments + " 2>" + err.string() + "; }";
  auto result = run(command);
  return {WIFEXITED(result.status) ? WEXITSTATUS(result.status) : -1, result.output,
          testsupport::readAll(err)};
}

class VeskarctlLab : public testsupport::LabDaemonTest {
 protected:
  VeskarctlLab() : LabDaemonTest("veskarctl") {}

  // veskarctl in the client namespace, trusting the lab's control server.
  CtlResult ctl(const std::string& arguments, const std::string& input = "") {
    auto prefix = input.empty() ? "" : "printf '%s\\n' '" + input + "' | ";
    return veskarctl(
        home_.path(),
        "SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem VESKAR_SOCKET=" + socket_.string(),
        arguments, prefix + "ip netns exec vkl-client ");
  }
  boost::json::value json(const std::string& arguments) {
    auto result = ctl(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    try {
      return boost::json::parse(result.out);
    } catch (const std::exception&) {
      ADD_FAILURE() << arguments << " printed no JSON: " << result.out;
      return nullptr;
    }
  }
  // The body an echo server answered (the caller's address as it saw it), or curl's error.
  std::string fetch(const std::string& host) {
    return trimmed(inClient("curl -sS --max-time 5 http://" + host + "/").output);
  }
  void admin(const std::string& path, const std::string& body) {
    inNamespace("vkl-control", "curl -sS -X POST -d '" + body + "' http://127.0.0.1:8080" + path);
  }
  void signIn() {
    auto login = ctl("login +1 5550100 --password-stdin", "lab-password");
    ASSERT_EQ(login.status, 0) << login.err;
    EXPECT_EQ(trimmed(login.out), "Signed in as +15550100.");
  }
};

TEST_F(VeskarctlLab, SignInConnectUseTheTunnelSwitchHighSpeedDisconnectAndSignOut) {
  auto wrong = ctl("login --phone +15550100 --password-stdin", "not-the-password");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(trimmed(wrong.err), "The phone number or password is wrong. Check them and try again.");
  EXPECT_EQ(json("status --json").at("signedIn"), false);

  ASSERT_NO_FATAL_FAILURE(signIn());
  auto status = json("status --json");
  EXPECT_EQ(status.at("signedIn"), true);
  EXPECT_EQ(status.at("phone"), "+15550100");
  EXPECT_EQ(status.at("tunnel"), "disconnected");
  EXPECT_EQ(status.at("highSpeedEnabled"), true);

  // Before connecting: in the lab only the physical resolver knows the control
  // server's name, and while connected names are asked through the tunnel.
  auto traffic = json("traffic --json");
  EXPECT_TRUE(traffic.at("remainingBytes").is_int64());
  EXPECT_EQ(trimmed(ctl("traffic").out).rfind("Remaining traffic: ", 0), 0u);

  auto connect = ctl("connect");
  ASSERT_EQ(connect.status, 0) << connect.out << connect.err << daemon_->output();
  EXPECT_NE(connect.out.find("Connecting…"), std::string::npos) << connect.out;
  EXPECT_EQ(connect.out.substr(connect.out.rfind("Connected")), "Connected\n");
  EXPECT_EQ(json("status --json").at("tunnel"), "connected");

  // Region DE leaves at relay1; the direct network bypasses the tunnel.
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(fetch("192.0.2.10"), "198.51.100.10");

  // The paths in use, each first hop measured over TCP.
  auto nodes = json("nodes --json").at("nodes").as_array();
  ASSERT_FALSE(nodes.empty());
  for (const auto& node : nodes) {
    std::string latency(node.at("latency").as_string());
    EXPECT_TRUE(latency.ends_with(" ms")) << boost::json::serialize(node);
    EXPECT_FALSE(node.at("name").as_string().empty());
  }
  EXPECT_NE(ctl("nodes").out.find("Connected nodes"), std::string::npos);

  // High speed off rebuilds the pool's sessions: the next flow opens a new one.
  auto connections = relayCounter(1, "connections");
  auto off = ctl("high-speed off");
  EXPECT_EQ(off.status, 0) << off.err;
  EXPECT_EQ(trimmed(off.out), "High speed is off");
  EXPECT_EQ(json("status --json").at("highSpeedEnabled"), false);
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_GT(relayCounter(1, "connections"), connections);

  // --watch prints the list every 3 s; the disconnect, seen through the
  // daemon's status events, empties it; SIGINT ends the watch with status 0.
  ChildProcess watch(insideNamespace(
      "vkl-client",
      {"env", "HOME=" + home_.path().string(), "XDG_CONFIG_HOME=" + (home_ / "config").string(),
       "XDG_DATA_HOME=" + (home_ / "data").string(), "XDG_RUNTIME_DIR=" + home_.path().string(),
       "VESKAR_SOCKET=" + socket_.string(), VESKARCTL_BIN, "nodes", "--watch", "--json"}));
  auto first = boost::json::parse(watch.readLineWithin(10s).value_or("{}"));
  EXPECT_FALSE(first.at("nodes").as_array().empty());
  auto disconnect = ctl("disconnect");
  EXPECT_EQ(disconnect.status, 0) << disconnect.err;
  EXPECT_NO_THROW(watch.waitForLine(
      [](const std::string& line) {
        return boost::json::parse(line).at("nodes").as_array().empty();
      },
      10s))
      << watch.output();
  auto watchStatus = watch.stop(SIGINT, 5s);
  ASSERT_TRUE(watchStatus);
  EXPECT_TRUE(WIFEXITED(*watchStatus) && WEXITSTATUS(*watchStatus) == 0) << *watchStatus;

  EXPECT_EQ(json("status --json").at("tunnel"), "disconnected");
  EXPECT_NE(fetch("203.0.113.80"), "203.0.113.1");

  // Lockdown is the daemon's: set through it, read back by status.
  auto locked = ctl("lockdown on");
  EXPECT_EQ(trimmed(locked.out), "Lockdown is on");
  EXPECT_NE(ctl("status").out.find("Lockdown: On\n"), std::string::npos);
  EXPECT_EQ(trimmed(ctl("lockdown off").out), "Lockdown is off");
  EXPECT_EQ(json("status --json").at("lockdown"), false);
  auto notConnected = ctl("nodes");
  EXPECT_EQ(notConnected.status, 1);
  EXPECT_EQ(trimmed(notConnected.err), "The tunnel is not connected.");

  auto logout = ctl("logout");
  EXPECT_EQ(logout.status, 0) << logout.err;
  EXPECT_EQ(json("status --json").at("signedIn"), false);
  auto signedOut = ctl("connect");
  EXPECT_EQ(signedOut.status, 1);
  EXPECT_EQ(trimmed(signedOut.err), "You are not signed in.");
}

// The daemon accepts the start, the provider fails it at once (no trust
// bundle to anchor the nodes): connect gives up about a second later, not
// after twenty, with the provider's reason; the next start works.
TEST_F(VeskarctlLab, AStartTheDaemonRejectsEndsTheWaitEarly) {
  ASSERT_NO_FATAL_FAILURE(signIn());
  admin("/admin/faults", R"({"path":"/v1/trust-bundle","status":500,"body":{"code":"down"}})");
  auto began = std::chrono::steady_clock::now();
  auto rejected = ctl("connect");
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(rejected.status, 1) << rejected.out;
  EXPECT_TRUE(rejected.err.starts_with("The tunnel could not be connected.")) << rejected.err;
  EXPECT_LT(took, 5s);
  EXPECT_EQ(json("status --json").at("tunnel"), "disconnected");

  admin("/admin/faults/clear", "{}");
  auto connect = ctl("connect");
  EXPECT_EQ(connect.status, 0) << connect.err << daemon_->output();
  EXPECT_EQ(ctl("disconnect").status, 0);
}

// The window's sentence, with what to do.
constexpr const char* kNotRunning =
    "The Veskar service is not running. Start it with \"sudo systemctl start flowgate\" and try "
    "again.";

TEST(Veskarctl, ADaemonThatIsNotRunningIsSaidSo) {
  testsupport::TemporaryDirectory home{"veskarctl"};
  auto missing = "VESKAR_SOCKET=" + (home / "none.sock").string();
  for (const auto* command : {"connect", "disconnect", "status", "nodes"}) {
    // connect needs a sign-in before it asks the daemon.
    if (std::string(command) == "connect") continue;
    auto result = veskarctl(home.path(), missing, command);
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_EQ(trimmed(result.err), kNotRunning) << command;
  }
  // A socket file nobody listens on.
  auto stale = home / "stale.sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  stale.string().copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  auto refused = veskarctl(home.path(), "VESKAR_SOCKET=" + stale.string(), "--json status");
  EXPECT_EQ(refused.status, 1);
  auto status = boost::json::parse(refused.out);
  EXPECT_EQ(status.at("error"), kNotRunning);
  EXPECT_EQ(status.at("signedIn"), false);

  // Signing out and the high-speed setting need no daemon.
  EXPECT_EQ(veskarctl(home.path(), missing, "logout").status, 0);
  auto highSpeed = veskarctl(home.path(), missing, "high-speed off");
  EXPECT_EQ(highSpeed.status, 0) << highSpeed.err;
  auto after = veskarctl(home.path(), missing, "status --json");
  EXPECT_EQ(boost::json::parse(after.out).at("highSpeedEnabled"), false);
}

TEST(Veskarctl, WrongCommandLinesExitWithTwo) {
  testsupport::TemporaryDirectory home{"veskarctl"};
  for (const auto* arguments :
       {"", "frobnicate", "status extra", "connect --json", "nodes --watch --bogus",
        "status --watch", "high-speed", "high-speed maybe", "login", "login 5550100",
        "login +1 555-0100", "login +12345 5550100", "login --phone 15550100",
        "login --phone +15550100 +1", "logout --password-stdin", "status --socket",
        "--control-url http://control.lab.example status"}) {
    auto result = veskarctl(home.path(), "", arguments);
    EXPECT_EQ(result.status, 2) << arguments << ": " << result.err;
    EXPECT_NE(result.err.find("usage: veskarctl"), std::string::npos) << arguments;
  }
  auto noPassword = veskarctl(home.path(), "", "login +1 5550100 </dev/null");
  EXPECT_EQ(noPassword.status, 2);
  EXPECT_EQ(veskarctl(home.path(), "", "--help").status, 0);
}

}  // namespace
}  // namespace labtest
