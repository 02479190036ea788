// `flowgate run` in the lab's client namespace, signed in against the lab's
// control server: where each kind of traffic leaves, how DNS is answered, how
// the tunnel survives a dead exit, a lost lease, a network change and its own
// link going down, and that nothing of it remains after it ends, however it ends.

#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_daemon.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"
#include "tests/support/tunnel/namespace_command.hpp"
#include "tests/support/tunnel/tunnel_state.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace labtest {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::insideNamespace;

constexpr const char* kClient = "vkl-client";
constexpr const char* kTun = "vkgate0";

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

class TunnelTest : public testsupport::MintedLabTest {
 protected:
  TunnelTest() : MintedLabTest("vk-tunnel") {}
  void TearDown() override {
    flowgate_.reset();
    extra_.clear();
    MintedLabTest::TearDown();
  }

  // Starts `flowgate run` in the client namespace, trusting the lab's control
  // server; its one-line outcome.
  std::string start() {
    flowgate_ = std::make_unique<ChildProcess>(
        insideNamespace(kClient,
                        {"env", "SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem", FLOWGATE_BIN,
                         "run", "--bootstrap", (folder_ / "bootstrap.json").string(), "--tokens",
                         (folder_ / "tokens.json").string(), "--tun", kTun, "--data-dir",
                         (folder_ / "data").string()}),
        ChildProcess::Output::captured);  // its log goes to ours
    return flowgate_->readLineWithin(30s).value_or("(no outcome)");
  }
  void startConnected() {
    auto outcome = start();
    ASSERT_EQ(outcome, "connected") << flowgate_->output();
  }

  // The body curl got from an echo server (the caller's address as the server
  // saw it), or curl's error.
  std::string fetch(const std::string& host, int seconds = 5) {
    return trimmed(
        inClient("curl -sS --max-time " + std::to_string(seconds) + " http://" + host + "/")
            .output);
  }
  std::string dig(const std::string& arguments) {
    return trimmed(inClient("dig +time=3 +tries=1 @198.19.0.53 " + arguments).output);
  }
  std::string admin(const std::string& path, const std::string& body) {
    return inNamespace("vkl-control",
                       "curl -sS -X POST -d '" + body + "' http://127.0.0.1:8080" + path)
        .output;
  }
  std::uint64_t controlCount(const std::string& path) {
    auto counts = inNamespace("vkl-control", "curl -sS http://127.0.0.1:8080/admin/counts");
    auto object = boost::json::parse(counts.output).at("counts").as_object();
    auto found = object.find(path);
    return found == object.end() ? 0 : found->value().to_number<std::uint64_t>();
  }
  // Waits up to `timeout` for `condition`.
  template <class Condition>
  static bool eventually(Condition condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(100ms);
    }
    return true;
  }

  std::string tunnelState() { return testsupport::tunnelState(kTun); }

  std::unique_ptr<ChildProcess> flowgate_;
  std::vector<std::unique_ptr<ChildProcess>> extra_;
};

TEST_F(TunnelTest, TrafficAndNamesTakeTheirPathsAndADeadExitIsLeftBehind) {
  // A host with no region in the GeoIP table: the default path [relay1, relay2].
  extra_.push_back(std::make_unique<ChildProcess>(
      insideNamespace("vkl-world", {TESTBED_ECHO_BIN, "--listen", "198.19.0.53:80"}),
      ChildProcess::Output::combined));
  ASSERT_TRUE(extra_.back()->readLineWithin(10s).value_or("").starts_with("ready"));
  ASSERT_NO_FATAL_FAILURE(startConnected());

  // Region DE leaves at relay1, US through relay1 then relay2, the explicit
  // route of 198.18.0.0/24 at relay3.
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(fetch("203.0.113.180"), "203.0.113.2");
  EXPECT_EQ(fetch("198.18.0.80"), "203.0.113.3");

  // The direct network is reached from the client's own address, and no relay
  // sees a byte of it.
  // The last ACKs of the fetches above may still be on their way: the counters
  // are read once they hold still.
  auto bytesIn = [] {
    std::vector<std::uint64_t> counts;
    for (int relay = 1; relay <= 3; ++relay) counts.push_back(relayCounter(relay, "bytes_in"));
    return counts;
  };
  auto before = bytesIn();
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(300ms);
    auto now = bytesIn();
    if (now == before) break;
    before = now;
  }
  EXPECT_EQ(fetch("192.0.2.10"), "198.51.100.10");
  EXPECT_EQ(bytesIn(), before);

  // The system's resolver is the tunnel's while it runs.
  std::ifstream resolv("/etc/netns/vkl-client/resolv.conf");
  std::string resolver((std::istreambuf_iterator<char>(resolv)), {});
  EXPECT_NE(resolver.find("198.19.0.53"), std::string::npos) << resolver;

  // Private and direct answers come from the physical resolver (the world's
  // resolver knows neither name); world names are asked through the tunnel.
  EXPECT_EQ(dig("+short nas.home.lab.example"), "192.168.1.20");
  EXPECT_EQ(dig("+short direct.lab.example"), "192.0.2.10");
  EXPECT_EQ(dig("+short us.world.lab.example"), "203.0.113.180");
  EXPECT_EQ(dig("+short tunnel.world.lab.example"), "203.0.113.80");
  std::ifstream worldLog("/run/veskar-lab/logs/world-dns.log");
  std::string asked((std::istreambuf_iterator<char>(worldLog)), {});
  EXPECT_NE(asked.find("query[A] us.world.lab.example from 203.0.113."), std::string::npos)
      << asked;
  EXPECT_NE(asked.find("query[A] tunnel.world.lab.example from 203.0.113."), std::string::npos);
  EXPECT_EQ(asked.find("nas.home.lab.example"), std::string::npos);
  EXPECT_EQ(asked.find("direct.lab.example"), std::string::npos);
  // AAAA: an empty successful answer, asked of nobody.
  auto aaaa = dig("+noall +comments AAAA de.world.lab.example");
  EXPECT_NE(aaaa.find("status: NOERROR"), std::string::npos) << aaaa;
  EXPECT_NE(aaaa.find("ANSWER: 0,"), std::string::npos) << aaaa;

  // The default path exits at relay2; once relay2 dies, new connections go to
  // the next candidate within 2 seconds.
  EXPECT_EQ(fetch("198.19.0.53"), "203.0.113.2");
  std::ifstream pidFile("/run/veskar-lab/pids/relay2");
  pid_t relay2 = 0;
  pidFile >> relay2;
  ASSERT_GT(relay2, 0);
  ASSERT_EQ(::kill(relay2, SIGKILL), 0);
  EXPECT_EQ(fetch("198.19.0.53", 2), "203.0.113.1");
  EXPECT_TRUE(flowgate_->alive()) << flowgate_->output();
}

// A path whose node finishes TLS and then says nothing, and a route whose node
// drops every SYN, hold up neither the tunnel's other paths nor its DNS.
TEST_F(TunnelTest, ANodeThatNeverAnswersHoldsUpNoOtherPathNorDNS) {
  ASSERT_NO_FATAL_FAILURE(startConnected());
  ASSERT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  struct Case {
    std::function<void()> stall;
    std::string stuck;  // a host behind the stalled node
    std::string name;   // asked meanwhile, with its answer
    std::string address;
  };
  const std::vector<Case> cases{
      // Region US leaves relay1 for relay2, which takes the onward
      // authentication and never answers; the name's answer comes via relay3.
      {[] { ASSERT_EQ(relayCommand(2, "mute on"), "ok"); }, "203.0.113.180", "jp.world.lab.example",
       "198.18.0.80"},
      // relay3 alone exits 198.18.0.0/24; the name is answered locally.
      {[this] {
         ASSERT_EQ(inNamespace("vkl-relay3",
                               "nft 'add table ip hole; add chain ip hole input "
                               "{ type filter hook input priority -10; }; "
                               "add rule ip hole input tcp dport 443 drop'")
                       .status,
                   0);
       },
       "198.18.0.80", "nas.home.lab.example", "192.168.1.20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stuck);
    ASSERT_NO_FATAL_FAILURE(c.stall());
    ChildProcess attempt(
        insideNamespace(kClient, {"curl", "-sS", "--max-time", "8", "http://" + c.stuck + "/"}),
        ChildProcess::Output::combined);
    std::this_thread::sleep_for(300ms);
    // Pings through relay1 meanwhile: none lost, none held up.
    auto pings = inClient("ping -n -q -i 0.2 -W 1 -c 15 203.0.113.80").output;
    std::smatch received, rtt;
    ASSERT_TRUE(std::regex_search(pings, received, std::regex(R"((\d+) received)"))) << pings;
    EXPECT_EQ(received[1], "15") << pings;
    ASSERT_TRUE(std::regex_search(pings, rtt, std::regex(R"(= [\d.]+/[\d.]+/([\d.]+)/)"))) << pings;
    EXPECT_LT(std::stod(rtt[1]), 50.0) << pings;
    EXPECT_EQ(dig("+short " + c.name), c.address);
    // The attempt was still under way all along.
    EXPECT_TRUE(attempt.alive()) << attempt.readLineWithin(1s).value_or("");
  }
  EXPECT_TRUE(flowgate_->alive()) << flowgate_->output();
}

TEST_F(TunnelTest, ALostLeaseAndANetworkChangeRebuildSessionsWithoutDroppingTheTunnel) {
  // The first heartbeat goes out at start; hold its answer so traffic runs
  // before the lease turns out to be gone.
  admin("/admin/faults", R"({"path":"/v1/tunnel/heartbeat","delay_ms":4000,"times":1})");
  admin("/admin/counts/reset", "{}");
  ASSERT_NO_FATAL_FAILURE(startConnected());
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(fetch("203.0.113.180"), "203.0.113.2");
  auto tunIndex = inClient(std::string("cat /sys/class/net/") + kTun + "/ifindex").output;

  // The device's lease moves to another address: the heartbeat answers
  // "lease_mismatch" and the daemon authorizes again, taking the new address.
  auto moved =
      boost::json::parse(admin("/admin/move-lease", "{\"device_key\":\"" + deviceKey_ + "\"}"));
  auto newAddress = std::string(moved.at("vpn_ipv4").as_string());
  EXPECT_TRUE(eventually([&] { return controlCount("/v1/tunnel/authorize") >= 1; }, 15s));
  EXPECT_TRUE(eventually(
      [&] {
        return inClient(std::string("ip -4 -o addr show dev ") + kTun).output.find(newAddress) !=
               std::string::npos;
      },
      5s))
      << inClient(std::string("ip -4 -o addr show dev ") + kTun).output;
  EXPECT_TRUE(flowgate_->alive()) << flowgate_->output();
  EXPECT_EQ(inClient(std::string("cat /sys/class/net/") + kTun + "/ifindex").output, tunIndex);
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(fetch("203.0.113.180"), "203.0.113.2");

  // Links down and up (the default route comes back as DHCP would bring it):
  // the sessions of the old network are dropped and made anew. The lab's links
  // are virtual and count for nothing in the network's fingerprint; loopback
  // does, so it goes down with eth0 for longer than the monitor's settling.
  // The default route names eth0: until its carrier is back, the gateway
  // would resolve into the tunnel.
  auto connections = relayCounter(1, "connections");
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(relayCounter(1, "connections"), connections);
  inClient(
      "sh -c 'ip link set eth0 down && ip link set lo down && sleep 1.5 && "
      "ip link set lo up && ip link set eth0 up && "
      "ip route replace default via 198.51.100.1 dev eth0 onlink'");
  EXPECT_TRUE(eventually(
      [&] {
        return fetch("203.0.113.80", 2) == "203.0.113.1" &&
               relayCounter(1, "connections") > connections;
      },
      10s))
      << "relay1 connections " << connections << " -> " << relayCounter(1, "connections");
  EXPECT_TRUE(flowgate_->alive()) << flowgate_->output();
}

TEST_F(TunnelTest, ALostLinkRefusesTrafficAndADeletedOneEndsTheRunWithNothingLeft) {
  auto before = testsupport::routingSnapshot();
  ASSERT_NO_FATAL_FAILURE(countClearTraffic());
  ASSERT_NO_FATAL_FAILURE(startConnected());
  ASSERT_EQ(fetch("203.0.113.80"), "203.0.113.1");

  // Down: the device's routes go, nothing leaves in clear; up: the settings
  // come back and the same run carries traffic again.
  ASSERT_EQ(inClient("ip link set " + std::string(kTun) + " down").status, 0);
  EXPECT_NE(fetch("203.0.113.80", 2), "203.0.113.1");
  ASSERT_EQ(inClient("ip link set " + std::string(kTun) + " up").status, 0);
  EXPECT_TRUE(eventually([&] { return fetch("203.0.113.80", 1) == "203.0.113.1"; }, 5s))
      << inClient("ip route show table 30309").output;

  // Deleted: the device's error ends the run and takes everything down.
  ASSERT_EQ(inClient("ip link del " + std::string(kTun)).status, 0);
  EXPECT_EQ(flowgate_->readLineWithin(10s), std::strerror(EBADFD)) << flowgate_->output();
  auto ended = flowgate_->stop(0, 10s);
  EXPECT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 1) << flowgate_->output();
  EXPECT_EQ(tunnelState(), "");
  EXPECT_EQ(testsupport::routingSnapshot(), before);
  EXPECT_EQ(clearPackets(), 0u);
}

TEST_F(TunnelTest, NodeAndControlNamesAreAskedOfThePhysicalResolverOutsideTheTunnel) {
  // relay3 (the exit of 198.18.0.0/24, certificate name "relay3") and the
  // control server by name only.
  std::ifstream in(folder_ / "bootstrap.json");
  auto bootstrap = boost::json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  bootstrap.as_object()["controlIPv4"] = boost::json::array();
  bootstrap.at("config").at("nodes").at(2).as_object()["address"] = "relay3.lab.example:443";
  std::ofstream(folder_ / "bootstrap.json") << boost::json::serialize(bootstrap);
  countClearTraffic();
  auto authentications = relayCounter(3, "authentications");
  ASSERT_NO_FATAL_FAILURE(startConnected());

  EXPECT_EQ(fetch("198.18.0.80"), "203.0.113.3");
  EXPECT_GT(relayCounter(3, "authentications"), authentications);
  // The heartbeat right after the start, when the tunnel's DNS is the system's.
  EXPECT_TRUE(eventually([&] { return controlCount("/v1/tunnel/heartbeat") >= 1; }, 10s));
  auto logOf = [](const std::string& name) {
    std::ifstream log("/run/veskar-lab/logs/" + name + ".log");
    return std::string(std::istreambuf_iterator<char>(log), {});
  };
  for (std::string name : {"relay3.lab.example", "control.lab.example"}) {
    EXPECT_NE(logOf("resolver").find("query[A] " + name + " from 198.51.100.10"),
              std::string::npos);
    EXPECT_EQ(logOf("world-dns").find(name), std::string::npos) << logOf("world-dns");
  }
  EXPECT_EQ(clearPackets(), 0u);
}

TEST_F(TunnelTest, NothingRemainsAfterAStopOrAfterACrashAndTheNextStart) {
  ASSERT_EQ(tunnelState(), "");
  ASSERT_NO_FATAL_FAILURE(startConnected());
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_NE(tunnelState(), "");
  auto stopped = flowgate_->stop(SIGTERM, 10s);
  ASSERT_TRUE(stopped.has_value()) << "still running after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*stopped) && WEXITSTATUS(*stopped) == 0) << flowgate_->output();
  EXPECT_EQ(tunnelState(), "");
  // With the tunnel gone the world is out of reach again.
  EXPECT_NE(fetch("203.0.113.80", 2), "203.0.113.1");

  // A crash leaves everything behind; the next start clears it away and its
  // own stop leaves nothing.
  ASSERT_NO_FATAL_FAILURE(startConnected());
  ASSERT_TRUE(flowgate_->stop(SIGKILL, 10s).has_value());
  EXPECT_NE(tunnelState(), "");
  ASSERT_NO_FATAL_FAILURE(startConnected());
  EXPECT_EQ(fetch("203.0.113.80"), "203.0.113.1");
  EXPECT_EQ(inClient("sh -c \"ip rule show | grep -c 'lookup 30309'\"").output, "1\n");
  ASSERT_TRUE(flowgate_->stop(SIGTERM, 10s).has_value());
  EXPECT_EQ(tunnelState(), "");
}

}  // namespace
}  // namespace labtest
