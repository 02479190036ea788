// The authorization service against the testbed control server over real HTTPS,
// with the daemon's clock moved by hand and the server's expiries, faults and
// request counters driven through its admin interface.

#include "flowgate/control/authorization_service.hpp"
#include "flowgate/control/authorization_messages.hpp"
#include "flowgate/control/token_store.hpp"
#include "platform/connector.hpp"
#include "runtime/iso8601.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/control/control_process.hpp"
#include "tests/support/control/test_client.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <variant>

using namespace flowgate;
using testbed::test::AdminClient;
using testbed::test::ControlProcess;
namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

// How a call ended: a bootstrap, nothing, or a failure with its payload.
struct Failure {
  runtime::ErrorCode code;
  unsigned status = 0;
  std::string serverCode;
  friend bool operator==(const Failure&, const Failure&) = default;
};
using Outcome = std::variant<std::optional<ExtensionBootstrap>, Failure>;

Failure serverFailure(unsigned status, std::string code) {
  return {AuthorizationErrorCase::server, status, std::move(code)};
}

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  if (const auto* failure = std::get_if<Failure>(&outcome)) {
    return out << "failure " << failure->code.message() << " " << failure->status << " "
               << failure->serverCode;
  }
  const auto& bootstrap = std::get<0>(outcome);
  return out << (bootstrap ? "bootstrap " + bootstrap->deviceCredential : "nothing");
}

const std::string kDeviceKey = "5A1D1E7E-0000-4000-8000-00000000C0DE";
const std::string kPast = "2001-01-01T00:00:00Z";

class AuthorizationAgainstControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1);
    clock->setNow(runtime::Date::from(std::chrono::system_clock::now()));
    // Control sockets carry the daemon's routing mark, as in the daemon.
    auto session = makeControlSession(io.get_executor(), platform::kRoutingMark);
    service = AuthorizationService::create(io.get_executor(), session, secrets, defaults, clock);

    tokens = freshTokens(600);
    current = authorizedBootstrap(tokens.accessToken);
    admin.post("/admin/counts/reset", bj::object{});
  }

  // A new token pair of the daemon's own, stored with the access token valid for
  // `validFor` seconds by the daemon's clock.
  StoredTokenState freshTokens(double validFor) {
    auto login = client.post("/v1/auth/login", R"({"method":"password","phone":")" +
                                                   std::string(testbed::test::labPhone) +
                                                   R"(","password":"lab-password"})");
    std::string userAccess(login.json().at("access_token").as_string());
    auto pair = client.post("/v1/auth/extension-session",
                            R"({"device_key":")" + kDeviceKey + R"("})", userAccess);
    EXPECT_EQ(pair.status, 200u) << pair.body;
    StoredTokenState stored{std::string(pair.json().at("access_token").as_string()),
                            std::string(pair.json().at("refresh_token").as_string()),
                            clock->now().adding(validFor)};
    saveTokens(*secrets, stored);
    return stored;
  }

  // The bootstrap the app hands over at start, from an authorization of its own.
  ExtensionBootstrap authorizedBootstrap(const std::string& access) {
    auto reply = client.post("/v1/tunnel/authorize", authorizeBody(), access);
    EXPECT_EQ(reply.status, 200u) << reply.body;
    auto result = decodeResponse<AuthorizationResult>(reply.body);
    ExtensionBootstrap bootstrap;
    bootstrap.controlURL = "https://127.0.0.1:" + std::to_string(server.port());
    bootstrap.controlIPv4 = {"127.0.0.1"};
    bootstrap.deviceKey = kDeviceKey;
    bootstrap.deviceID = result.deviceId;
    bootstrap.deviceCredential = result.deviceCredential;
    bootstrap.credentialExpiresAt = result.credentialExpiresAt;
    bootstrap.vpnIPv4 = result.vpnIpv4;
    bootstrap.leaseExpiresAt = result.leaseExpiresAt;
    bootstrap.config = result.config;
    bootstrap.localRoutes = {"198.51.100.0/24", "192.0.2.0/25"};
    return bootstrap;
  }
  static std::string authorizeBody() {
    return R"({"device_key":")" + kDeviceKey +
           R"(","platform":"macos","device_name":"macOS Packet Tunnel","local_routes":[]})";
  }

  Outcome settle(runtime::Task<std::optional<ExtensionBootstrap>> task) {
    std::vector<Outcome> outcomes = settleAll([&] {
      std::vector<runtime::Task<std::optional<ExtensionBootstrap>>> tasks;
      tasks.push_back(std::move(task));
      return tasks;
    }());
    return outcomes.front();
  }
  std::vector<Outcome> settleAll(
      std::vector<runtime::Task<std::optional<ExtensionBootstrap>>> tasks) {
    std::vector<Outcome> outcomes(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
      runtime::spawn(io.get_executor(),
                     [](runtime::Task<std::optional<ExtensionBootstrap>> task,
                        Outcome* outcome) -> runtime::Task<void> {
                       try {
                         *outcome = co_await std::move(task);
                       } catch (const AuthorizationError& e) {
                         *outcome = Failure{e.code(), e.status(), e.serverCode()};
                       } catch (const runtime::SystemError& e) {
                         *outcome = Failure{e.code(), 0, {}};
                       }
                     }(std::move(tasks[i]), &outcomes[i]));
    }
    io.restart();
    io.run();
    return outcomes;
  }
  Outcome heartbeat(ExtensionBootstrap bootstrap) {
    return settle(service->heartbeat(std::move(bootstrap)));
  }

  std::optional<ExtensionBootstrap> storedBootstrap() const {
    auto bytes = defaults->data(AuthorizationService::bootstrapDefaultsKey);
    if (!bytes) return std::nullopt;
    return runtime::json::decodeText<ExtensionBootstrap>(*bytes);
  }
  std::uint64_t count(const std::string& path) const { return admin.count(path); }
  void fault(bj::object fault) { admin.post("/admin/faults", fault); }

  // The renewed bootstrap keeps what the daemon was started with and takes the
  // rest from the server.
  void expectRenewedFrom(const ExtensionBootstrap& before, const ExtensionBootstrap& after) {
    EXPECT_EQ(after.controlURL, before.controlURL);
    EXPECT_EQ(after.controlIPv4, before.controlIPv4);
    EXPECT_EQ(after.deviceKey, before.deviceKey);
    EXPECT_EQ(after.localRoutes, before.localRoutes);
    // The server's dates: the lab's credentials and leases last 1800 seconds.
    auto issuedNear = runtime::Date::from(std::chrono::system_clock::now()).adding(1800);
    for (const auto& date : {after.credentialExpiresAt, after.leaseExpiresAt}) {
      auto parsed = runtime::parseISO8601Date(date);
      ASSERT_TRUE(parsed) << date;
      EXPECT_NEAR(parsed->secondsSince(issuedNear), 0, 5) << date;
    }
    EXPECT_FALSE(after.deviceCredential.empty());
    EXPECT_EQ(after.config.nodes.size(), 2u);
    EXPECT_EQ(after.config.dns.queryTimeoutMs, 2000);
    EXPECT_EQ(storedBootstrap(), after);
  }

  ControlProcess server;
  testbed::test::HttpsClient client{server.port(), server.controlCA()};
  AdminClient admin{server.adminPort()};
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<platform::SecretStore> secrets = std::make_shared<platform::FileSecretStore>(
      server.directory() / "daemon" / "secrets", platform::sharedAccessGroup());
  std::shared_ptr<platform::UserDefaults> defaults =
      std::make_shared<platform::UserDefaults>(server.directory() / "daemon", "flowgate");
  std::shared_ptr<AuthorizationService> service;
  StoredTokenState tokens;
  ExtensionBootstrap current;
};

}  // namespace

TEST_F(AuthorizationAgainstControl, ACredentialCloseToExpiryIsRenewedWithoutAHeartbeat) {
  auto expiry = *runtime::parseISO8601Date(current.credentialExpiresAt);
  // 601 seconds left: an ordinary heartbeat.
  clock->setNow(expiry.adding(-601));
  EXPECT_EQ(heartbeat(current), Outcome(std::nullopt));
  EXPECT_EQ(count("/v1/tunnel/heartbeat"), 1u);
  EXPECT_FALSE(storedBootstrap());

  // Nine minutes left: renewed at once (with an access token still valid).
  clock->setNow(expiry.adding(-540));
  saveTokens(*secrets, {tokens.accessToken, tokens.refreshToken, clock->now().adding(600)});
  auto outcome = heartbeat(current);
  ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcome)) << outcome;
  const auto& renewed = std::get<0>(outcome);
  ASSERT_TRUE(renewed);
  EXPECT_EQ(count("/v1/tunnel/heartbeat"), 1u);
  EXPECT_EQ(count("/v1/tunnel/authorize"), 1u);
  EXPECT_EQ(count("/v1/auth/refresh"), 0u);
  expectRenewedFrom(current, *renewed);
  EXPECT_EQ(renewed->deviceID, current.deviceID);
  EXPECT_EQ(renewed->vpnIPv4, current.vpnIPv4);
}

TEST_F(AuthorizationAgainstControl, ExpiryDatesWithoutZoneOrWithFractionsNeverRenewEarly) {
  std::uint64_t sent = 0;
  for (const char* date : {"2001-01-01T00:00:00", "2001-01-01T00:00:00.000Z",
                           "2001-01-01T00:00:00.5+00:00", "2001-01-01", "", "soon"}) {
    SCOPED_TRACE(date);
    auto bootstrap = current;
    bootstrap.credentialExpiresAt = date;
    EXPECT_EQ(heartbeat(bootstrap), Outcome(std::nullopt));
    EXPECT_EQ(count("/v1/tunnel/heartbeat"), ++sent);
  }
  EXPECT_EQ(count("/v1/tunnel/authorize"), 0u);
}

TEST_F(AuthorizationAgainstControl, AnAccessTokenValidFor30SecondsIsRefreshedFirst) {
  current.credentialExpiresAt = kPast;
  struct Case {
    double validFor;
    bool refreshed;
  };
  std::uint64_t refreshes = 0;
  for (auto [validFor, refreshed] : {Case{30, true}, Case{31, false}}) {
    SCOPED_TRACE(validFor);
    auto stored = freshTokens(validFor);
    auto outcome = heartbeat(current);
    ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcome)) << outcome;
    refreshes += refreshed ? 1 : 0;
    EXPECT_EQ(count("/v1/auth/refresh"), refreshes);
    auto now = loadTokens(*secrets);
    ASSERT_TRUE(now);
    if (refreshed) {
      EXPECT_NE(now->accessToken, stored.accessToken);
      EXPECT_NE(now->refreshToken, stored.refreshToken);
      // The lab hands out access tokens valid for 600 seconds.
      EXPECT_EQ(now->accessExpiresAt, clock->now().adding(600));
    } else {
      EXPECT_EQ(*now, stored);
    }
  }
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
}

TEST_F(AuthorizationAgainstControl, EachRenewalCodeLeadsToOneRenewal) {
  struct Case {
    const char* code;
    std::function<void(ExtensionBootstrap&)> provoke;
  };
  std::string movedTo;
  const Case cases[] = {
      {"credential_expired",
       [&](ExtensionBootstrap& b) {
         admin.post("/admin/expire", {{"credential", b.deviceCredential}});
         // Credentials issued within one second are the same text; the renewed one
         // must not be the one just expired.
         auto issued = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
         std::this_thread::sleep_until(issued + std::chrono::seconds(1));
       }},
      {"invalid_credential", [](ExtensionBootstrap& b) { b.deviceCredential = "forged.token"; }},
      {"lease_expired",
       [&](ExtensionBootstrap&) {
         admin.post("/admin/expire", {{"lease", kDeviceKey}});
       }},
      {"lease_mismatch",
       [&](ExtensionBootstrap&) {
         auto reply = admin.post("/admin/move-lease", {{"device_key", kDeviceKey}});
         movedTo = std::string(reply.json().at("vpn_ipv4").as_string());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    auto before = current;
    c.provoke(before);
    // The server's refusal as the service sees it.
    auto refusal = client.post("/v1/tunnel/heartbeat",
                               R"({"device_credential":")" + before.deviceCredential + R"("})");
    ASSERT_EQ(refusal.code(), c.code);
    admin.post("/admin/counts/reset", bj::object{});

    auto outcome = heartbeat(before);
    ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcome)) << outcome;
    const auto& renewed = std::get<0>(outcome);
    ASSERT_TRUE(renewed);
    EXPECT_EQ(count("/v1/tunnel/heartbeat"), 1u);
    EXPECT_EQ(count("/v1/tunnel/authorize"), 1u);
    expectRenewedFrom(before, *renewed);
    if (!movedTo.empty()) {
      EXPECT_EQ(renewed->vpnIPv4, movedTo);
    }
    // The renewed credential is good for the next heartbeat.
    EXPECT_EQ(heartbeat(*renewed), Outcome(std::nullopt));
    current = *renewed;
  }

  // A renewal code renews whatever the status it comes with.
  fault({{"path", "/v1/tunnel/heartbeat"},
         {"status", 500},
         {"body", {{"code", "lease_mismatch"}}},
         {"times", 1}});
  auto outcome = heartbeat(current);
  ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcome)) << outcome;
  EXPECT_TRUE(std::get<0>(outcome));
}

TEST_F(AuthorizationAgainstControl, OtherRefusalsFailWithTheStatusAndTheServersCode) {
  struct Case {
    bj::object fault;
    Failure expected;
  };
  const Case cases[] = {
      {{{"status", 401}, {"body", {{"code", "revoked"}}}}, serverFailure(401, "revoked")},
      {{{"status", 503}, {"body_text", "<html>down</html>"}}, serverFailure(503, "unknown")},
      {{{"status", 500}, {"body", {{"code", 17}}}}, serverFailure(500, "unknown")},
      {{{"status", 404}, {"body", {{"message", "gone"}}}}, serverFailure(404, "unknown")},
      {{{"status", 200}, {"body", {{"status", "ok"}, {"vpn_ipv4", "198.19.0.2"}}}},
       Failure{runtime::DecodingError::keyNotFound, 0, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(bj::serialize(c.fault));
    auto rule = c.fault;
    rule["path"] = "/v1/tunnel/heartbeat";
    rule["times"] = 1;
    fault(rule);
    EXPECT_EQ(heartbeat(current), Outcome(c.expected));
  }
  EXPECT_EQ(count("/v1/tunnel/authorize"), 0u);
  EXPECT_FALSE(storedBootstrap());
}

TEST_F(AuthorizationAgainstControl, TwoHeartbeatsNeedingRenewalShareOne) {
  freshTokens(0);
  // The refresh answers late, so the second heartbeat arrives while it runs.
  fault({{"path", "/v1/auth/refresh"}, {"delay_ms", 300}});
  auto first = current;
  first.credentialExpiresAt = kPast;
  auto second = current;
  admin.post("/admin/expire", {{"credential", second.deviceCredential}});
  std::vector<runtime::Task<std::optional<ExtensionBootstrap>>> tasks;
  tasks.push_back(service->heartbeat(first));
  tasks.push_back(service->heartbeat(second));
  auto outcomes = settleAll(std::move(tasks));
  ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcomes[0]))
      << outcomes[0];
  EXPECT_TRUE(std::get<0>(outcomes[0]));
  EXPECT_EQ(outcomes[0], outcomes[1]);
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_EQ(count("/v1/tunnel/authorize"), 1u);

  // Once it finished, the next renewal is a new one.
  admin.post("/admin/faults/clear", {{"path", "/v1/auth/refresh"}});
  first.deviceCredential = "forged.token";
  first.credentialExpiresAt = std::get<0>(outcomes[0])->credentialExpiresAt;
  auto again = heartbeat(first);
  ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(again)) << again;
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
}

TEST_F(AuthorizationAgainstControl, AnAuthorizationWithoutNodesStoresNothing) {
  auto reply = client.post("/v1/tunnel/authorize", authorizeBody(), tokens.accessToken);
  auto body = reply.json().as_object();
  body["config"].as_object()["nodes"] = bj::array{};
  fault({{"path", "/v1/tunnel/authorize"}, {"status", 200}, {"body", body}});
  current.credentialExpiresAt = kPast;
  EXPECT_EQ(heartbeat(current), Outcome(Failure{AuthorizationErrorCase::invalidResponse, 0, {}}));
  EXPECT_FALSE(storedBootstrap());
}

TEST_F(AuthorizationAgainstControl, AFailedAuthorizationAfterARefreshKeepsTheNewTokens) {
  auto old = freshTokens(0);
  fault({{"path", "/v1/tunnel/authorize"},
         {"status", 503},
         {"body", {{"code", "address_pool_exhausted"}}},
         {"times", 1}});
  current.credentialExpiresAt = kPast;
  EXPECT_EQ(heartbeat(current), Outcome(serverFailure(503, "address_pool_exhausted")));
  auto kept = loadTokens(*secrets);
  ASSERT_TRUE(kept);
  EXPECT_NE(kept->refreshToken, old.refreshToken);
  EXPECT_FALSE(storedBootstrap());

  // The kept access token is what the next renewal uses, with no new refresh.
  auto outcome = heartbeat(current);
  ASSERT_TRUE(std::holds_alternative<std::optional<ExtensionBootstrap>>(outcome)) << outcome;
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_EQ(count("/v1/tunnel/authorize"), 2u);
}

TEST_F(AuthorizationAgainstControl, FailuresBeforeTheAuthorizationEndTheRenewal) {
  current.credentialExpiresAt = kPast;
  // A spent refresh token: the server's refusal, nothing saved over the stored pair.
  auto spent = freshTokens(0);
  ASSERT_EQ(client.post("/v1/auth/refresh", R"({"refresh_token":")" + spent.refreshToken + R"("})")
                .status,
            200u);
  EXPECT_EQ(heartbeat(current), Outcome(serverFailure(401, "invalid_refresh_token")));
  EXPECT_EQ(loadTokens(*secrets), spent);

  // No stored pair at all: nothing is sent.
  ASSERT_EQ(secrets->remove(extensionTokensItem()), platform::SecretStatus::success);
  admin.post("/admin/counts/reset", bj::object{});
  EXPECT_EQ(heartbeat(current),
            Outcome(Failure{AuthorizationErrorCase::missingRefreshToken, 0, {}}));
  for (const char* path : {"/v1/auth/refresh", "/v1/tunnel/authorize", "/v1/tunnel/heartbeat"}) {
    EXPECT_EQ(count(path), 0u) << path;
  }
  EXPECT_FALSE(storedBootstrap());
}

// The mark is read back from the kernel's socket table while a heartbeat is held open.
TEST_F(AuthorizationAgainstControl, ControlRequestsCarryTheRoutingMark) {
  if (geteuid() != 0) GTEST_SKIP() << "setting SO_MARK needs CAP_NET_ADMIN";
  fault({{"path", "/v1/tunnel/heartbeat"}, {"delay_ms", 1500}, {"times", 1}});
  std::string socketTable;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string command =
        "ss -tHne state established '( dport = :" + std::to_string(server.port()) +
        " )' 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char line[512];
      while (fgets(line, sizeof line, pipe)) socketTable += line;
      pclose(pipe);
    }
  });
  EXPECT_EQ(heartbeat(current), Outcome(std::nullopt));
  reader.join();
  if (socketTable.empty()) GTEST_SKIP() << "ss is not available";
  EXPECT_NE(socketTable.find("fwmark:0x7665"), std::string::npos) << socketTable;
}
