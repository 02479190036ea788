// What the authorization service puts on the wire, and the failures it raises
// before or beside the network, with a scripted HTTP client.

#include "flowgate/control/authorization_service.hpp"
#include "flowgate/control/token_store.hpp"
#include "platform/fake_http_client.hpp"
#include "runtime/spawn.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <filesystem>

using namespace flowgate;
namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

constexpr const char* kAuthorization = R"({"device_id":9,"device_credential":"cred-2",
  "credential_expires_at":"2026-12-09T10:00:00Z","vpn_ipv4":"198.19.0.9",
  "lease_expires_at":"2026-12-09T11:00:00Z","config":{"version":1,"mtu":1400,
  "vpn_cidr":"198.19.0.0/16","nodes":[{"id":1,"name":"n","address":"192.0.2.1:443",
  "priority":0}],"routes":[],"default_nodes":[1],"node_groups":{"DE":[{"node_id":1,
  "priority":1,"weight":2}]},"dns":{"version":1,"servers":[],"local_region":"DE",
  "local_resolvers":[],"default_region":"DE","query_timeout_ms":1,"retries":0,
  "positive_ttl_cap_seconds":1,"negative_ttl_seconds":1,"failure_ttl_seconds":1}}})";

class AuthorizationServiceTest : public ::testing::Test {
 protected:
  static std::filesystem::path temporaryDirectory() {
    char pattern[] = "/tmp/veskar-authorization-XXXXXX";
    return mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  // The error code the call failed with; success otherwise.
  runtime::ErrorCode failureOf(runtime::Task<std::optional<ExtensionBootstrap>> task) {
    runtime::ErrorCode code;
    runtime::spawn(io.get_executor(),
                   [](runtime::Task<std::optional<ExtensionBootstrap>> t,
                      runtime::ErrorCode* out) -> runtime::Task<void> {
                     try {
                       co_await std::move(t);
                     } catch (const runtime::SystemError& e) {
                       *out = e.code();
                     }
                   }(std::move(task), &code));
    io.restart();
    io.run();
    return code;
  }

  ExtensionBootstrap bootstrap(std::string controlURL, std::string credentialExpiresAt) {
    ExtensionBootstrap b;
    b.controlURL = std::move(controlURL);
    b.deviceKey = "DEVICE-KEY";
    b.deviceCredential = "cred-1";
    b.credentialExpiresAt = std::move(credentialExpiresAt);
    b.localRoutes = {"198.51.100.0/24"};
    return b;
  }

  std::filesystem::path root = temporaryDirectory();
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<platform::MemorySecretStore> secrets =
      std::make_shared<platform::MemorySecretStore>();
  std::shared_ptr<platform::UserDefaults> defaults =
      std::make_shared<platform::UserDefaults>(root, "flowgate");
  std::shared_ptr<platform::FakeHttpClient> http =
      std::make_shared<platform::FakeHttpClient>(platform::FakeHttpClient::replying(
          [](const platform::HttpRequest& request) -> platform::HttpResponse {
            auto path = request.url.path();
            if (path.ends_with("/v1/auth/refresh")) {
              return {200, {}, R"({"access_token":"a-2","expires_in":900,"refresh_token":"r-2"})"};
            }
            if (path.ends_with("/v1/tunnel/authorize")) return {200, {}, kAuthorization};
            return {200, {}, R"({"status":"ok","vpn_ipv4":"x","lease_expires_at":"y"})"};
          }));
  std::shared_ptr<AuthorizationService> service =
      AuthorizationService::create(io.get_executor(), http, secrets, defaults, clock);
};

TEST_F(AuthorizationServiceTest, RequestsCarryTheWireForm) {
  saveTokens(*secrets, {"a-1", "r-1", clock->now().adding(30)});
  ASSERT_EQ(
      failureOf(service->heartbeat(bootstrap("https://control.test/api", "2001-01-01T00:00:00Z"))),
      runtime::ErrorCode());
  ASSERT_EQ(
      failureOf(service->heartbeat(bootstrap("https://control.test", "2099-01-01T00:00:00Z"))),
      runtime::ErrorCode());

  struct Expected {
    const char* url;
    std::optional<std::string> bearer;
    const char* body;
  };
  const Expected expected[] = {
      {"https://control.test/api/v1/auth/refresh", std::nullopt, R"({"refresh_token":"r-1"})"},
      {"https://control.test/api/v1/tunnel/authorize", "Bearer a-2",
       R"({"device_key":"DEVICE-KEY","platform":"macos","device_name":"macOS Packet Tunnel",
           "local_routes":["198.51.100.0/24"]})"},
      {"https://control.test/v1/tunnel/heartbeat", std::nullopt,
       R"({"device_credential":"cred-1"})"},
  };
  auto requests = http->requests();
  ASSERT_EQ(requests.size(), std::size(expected));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(expected[i].url);
    const auto& request = requests[i];
    EXPECT_EQ(request.method, platform::HttpMethod::post);
    EXPECT_EQ(request.url.buffer(), expected[i].url);
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
    platform::HttpHeaders headers{{"Content-Type", "application/json"}};
    if (expected[i].bearer) headers.emplace_back("Authorization", *expected[i].bearer);
    EXPECT_EQ(request.headers, headers);
    // Exactly these keys, in any order.
    EXPECT_EQ(bj::parse(request.body), bj::parse(expected[i].body));
  }

  // The refreshed pair is stored with its lifetime counted from now.
  EXPECT_EQ(loadTokens(*secrets), (StoredTokenState{"a-2", "r-2", clock->now().adding(900)}));
  // The stored bootstrap keeps the daemon's own fields and uses the field names.
  auto stored = bj::parse(*defaults->data("tunnel-bootstrap")).as_object();
  EXPECT_EQ(stored.at("controlURL"), "https://control.test/api");
  EXPECT_EQ(stored.at("deviceID"), 9);
  EXPECT_EQ(stored.at("vpnIPv4"), "198.19.0.9");
  EXPECT_EQ(stored.at("config").at("nodeGroups").at("DE").at(0).at("nodeId"), 1);
}

TEST_F(AuthorizationServiceTest, FailuresBesideTheServersAnswers) {
  saveTokens(*secrets, {"a-1", "r-1", clock->now().adding(3600)});
  // A control URL that does not parse, whether for a heartbeat or a renewal.
  for (const char* url : {"", "not a url", "/relative/only"}) {
    for (const char* expiry : {"2099-01-01T00:00:00Z", "2001-01-01T00:00:00Z"}) {
      EXPECT_EQ(failureOf(service->heartbeat(bootstrap(url, expiry))),
                runtime::ErrorCode(AuthorizationErrorCase::invalidResponse))
          << url << " " << expiry;
    }
  }
  EXPECT_TRUE(http->requests().empty());

  // Transport failures pass through unchanged.
  auto refused = std::make_shared<platform::FakeHttpClient>(platform::FakeHttpClient::replying(
      [](const platform::HttpRequest&) -> platform::HttpResponse {
        throw runtime::SystemError(asio::error::connection_refused);
      }));
  auto offline = AuthorizationService::create(io.get_executor(), refused, secrets, defaults, clock);
  EXPECT_EQ(failureOf(offline->heartbeat(bootstrap("https://c.test", "2099-01-01T00:00:00Z"))),
            runtime::ErrorCode(asio::error::connection_refused));
  EXPECT_FALSE(defaults->data("tunnel-bootstrap"));
}

TEST_F(AuthorizationServiceTest, ValuesTheServerRotatedOutliveFailedSavesUntilTheNextHeartbeat) {
  const StoredTokenState old{"a-1", "r-1", clock->now().adding(30)};
  saveTokens(*secrets, old);
  secrets->refuse(platform::MemorySecretStore::Operation::update, platform::SecretStatus::ioError);
  // A symlink where the defaults file goes refuses every write.
  std::filesystem::create_symlink(root / "elsewhere", defaults->path());
  // Both renewals go through; the second uses the access token kept in
  // memory, not the spent refresh token.
  const auto expired = bootstrap("https://c.test", "2001-01-01T00:00:00Z");
  EXPECT_EQ(failureOf(service->heartbeat(expired)), runtime::ErrorCode());
  EXPECT_EQ(failureOf(service->heartbeat(expired)), runtime::ErrorCode());
  EXPECT_EQ(loadTokens(*secrets), old);
  EXPECT_FALSE(defaults->data("tunnel-bootstrap"));
  ASSERT_EQ(http->requests().size(), 3u);
  EXPECT_EQ(http->requests()[2].headers.back().second, "Bearer a-2");

  // The stores work again: the next heartbeat writes what was kept.
  secrets->refuse(platform::MemorySecretStore::Operation::update, platform::SecretStatus::success);
  std::filesystem::remove(defaults->path());
  EXPECT_EQ(failureOf(service->heartbeat(bootstrap("https://c.test", "2099-01-01T00:00:00Z"))),
            runtime::ErrorCode());
  EXPECT_EQ(loadTokens(*secrets), (StoredTokenState{"a-2", "r-2", clock->now().adding(900)}));
  EXPECT_EQ(bj::parse(defaults->data("tunnel-bootstrap").value_or("{}")).at("deviceCredential"),
            "cred-2");
}

}  // namespace
