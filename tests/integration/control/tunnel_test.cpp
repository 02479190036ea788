#include "control_test.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/config/records.hpp"
#include "runtime/ipv4.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/credential/credential.hpp"
#include "testbed/credential/utc_time.hpp"

#include <chrono>
#include <thread>

namespace testbed::test {
namespace {

using TunnelTest = ControlTest;

runtime::Date now() { return runtime::Date::from(std::chrono::system_clock::now()); }

TEST_F(TunnelTest, AuthorizationAnswersCredentialLeaseAndConfig) {
  auto reply = authorize(login().access, "DEVICE-1");
  ASSERT_EQ(reply.status, 200u) << reply.body;
  auto body = reply.json().as_object();
  EXPECT_TRUE(body.at("device_id").is_uint64() || body.at("device_id").is_int64());
  EXPECT_TRUE(body.at("device_credential").is_string());
  // Whole seconds with a zone: what a default ISO 8601 reader takes.
  auto credentialExpiry = parseUTCTime(body.at("credential_expires_at").as_string());
  auto leaseExpiry = parseUTCTime(body.at("lease_expires_at").as_string());
  ASSERT_TRUE(credentialExpiry && leaseExpiry);
  EXPECT_EQ(body.at("credential_expires_at").as_string().size(), 20u);
  EXPECT_NEAR(static_cast<double>(*credentialExpiry), now().unixSeconds() + 1800, 5);
  EXPECT_NEAR(static_cast<double>(*leaseExpiry), now().unixSeconds() + 1800, 5);

  // The config is the daemon's record in the control server's form.
  auto config = runtime::json::decode<flowgate::ExtensionConfig>(body.at("config"),
                                                                 flowgate::controlServerForm);
  EXPECT_EQ(config.version, 7);
  EXPECT_EQ(config.vpnCidr, "198.19.0.0/16");
  ASSERT_EQ(config.nodes.size(), 2u);
  EXPECT_EQ(config.nodes[0].tlsServerName, "relay1");
  EXPECT_FALSE(config.nodes[1].tlsServerName.has_value());
  EXPECT_FALSE(body.at("config").at("nodes").at(1).as_object().contains("tls_server_name"));
  ASSERT_TRUE(config.paths.has_value());
  EXPECT_EQ(config.defaultNodes, (std::vector<std::uint64_t>{1, 2}));
  // Group names are data and keep their spelling.
  EXPECT_TRUE(config.nodeGroups.contains("US_EAST"));
  EXPECT_EQ(config.dns.servers, std::vector<std::string>{"198.19.0.53"});
  ASSERT_TRUE(config.geoip.has_value());
  auto manifest = client.get("/v1/geoip/manifest").json();
  EXPECT_EQ(*config.geoip, runtime::json::decode<flowgate::ExtensionGeoIPManifest>(
                               manifest, flowgate::controlServerForm));
}

TEST_F(TunnelTest, TunnelAddressAndDeviceIDAreStablePerDeviceKey) {
  auto user = login();
  auto first = authorize(user.access, "DEVICE-1").json();
  auto again = authorize(user.access, "DEVICE-1").json();
  auto other = authorize(user.access, "DEVICE-2").json();
  EXPECT_EQ(first.at("vpn_ipv4"), again.at("vpn_ipv4"));
  EXPECT_EQ(first.at("device_id"), again.at("device_id"));
  EXPECT_NE(first.at("vpn_ipv4"), other.at("vpn_ipv4"));
  EXPECT_NE(first.at("device_id"), other.at("device_id"));
  // The extension re-authorizing for the same device gets the same address.
  auto extension = extensionSession(user.access, "DEVICE-1");
  EXPECT_EQ(authorize(extension.access, "DEVICE-1").json().at("vpn_ipv4"), first.at("vpn_ipv4"));

  auto range = *runtime::ipv4::cidrRange("198.19.0.0/16");
  for (const auto* reply : {&first, &other}) {
    auto address = runtime::ipv4::ipv4Value(reply->at("vpn_ipv4").as_string());
    ASSERT_TRUE(address);
    EXPECT_GT(*address, range.lower);
    EXPECT_LT(*address, range.upper);
    // Reserved addresses and the tunnel's DNS server are never leased.
    EXPECT_NE(reply->at("vpn_ipv4").as_string(), "198.19.0.1");
    EXPECT_NE(reply->at("vpn_ipv4").as_string(), "198.19.0.53");
  }
}

TEST_F(TunnelTest, RelaysAcceptTheIssuedCredential) {
  auto reply = authorize(login().access, "DEVICE-1").json();
  std::string credential(reply.at("device_credential").as_string());
  // A relay checks against the keys of the published trust bundle.
  auto bundle = client.get("/v1/trust-bundle").json();
  auto keys = decodeCredentialKeys(boost::json::serialize(bundle));
  auto claims = verifyCredential(credential, keys, now());
  EXPECT_EQ(claims.deviceID, reply.at("device_id").to_number<std::uint64_t>());
  EXPECT_EQ(claims.vpnIPv4, reply.at("vpn_ipv4").as_string());
  EXPECT_EQ(formatUTCTime(claims.expiresAt), reply.at("credential_expires_at").as_string());

  auto tampered = credential;
  tampered[tampered.size() / 3] = tampered[tampered.size() / 3] == 'A' ? 'B' : 'A';
  EXPECT_THROW(verifyCredential(tampered, keys, now()), runtime::SystemError);
  EXPECT_THROW(verifyCredential(credential, keys, now().adding(1801)), runtime::SystemError);
}

TEST_F(TunnelTest, HeartbeatAcceptsAFreshCredentialAndRenewsTheLease) {
  auto reply = heartbeat(credentialFor("DEVICE-1"));
  ASSERT_EQ(reply.status, 200u) << reply.body;
  auto body = reply.json().as_object();
  EXPECT_EQ(body.at("status").as_string(), "ok");
  EXPECT_TRUE(runtime::ipv4::ipv4Value(body.at("vpn_ipv4").as_string()));
  EXPECT_TRUE(parseUTCTime(body.at("lease_expires_at").as_string()));
}

TEST_F(TunnelTest, HeartbeatNamesWhatIsWrongWithCredentialOrLease) {
  auto expectCode = [&](const std::string& credential, const std::string& code) {
    auto reply = heartbeat(credential);
    EXPECT_EQ(reply.status, 401u) << code;
    EXPECT_EQ(reply.code(), code);
  };
  expectCode("not-a-credential", "invalid_credential");
  auto good = credentialFor("DEVICE-1");
  auto tampered = good;
  tampered[5] = tampered[5] == 'A' ? 'B' : 'A';
  expectCode(tampered, "invalid_credential");

  ASSERT_EQ(admin.post("/admin/expire", {{"credential", good}}).status, 200u);
  expectCode(good, "credential_expired");
  // Authorizing again (often within the same second, so the same bytes) gives a
  // credential the heartbeat accepts.
  EXPECT_EQ(heartbeat(credentialFor("DEVICE-1")).status, 200u);

  auto leased = credentialFor("DEVICE-2");
  ASSERT_EQ(admin.post("/admin/expire", {{"lease", "DEVICE-2"}}).status, 200u);
  expectCode(leased, "lease_expired");
  // Authorizing again renews the lease for the same address.
  auto renewed = credentialFor("DEVICE-2");
  EXPECT_EQ(heartbeat(renewed).status, 200u);

  auto moved = credentialFor("DEVICE-3");
  auto move = admin.post("/admin/move-lease", {{"device_key", "DEVICE-3"}});
  ASSERT_EQ(move.status, 200u);
  expectCode(moved, "lease_mismatch");
  auto reauthorized = authorize(login().access, "DEVICE-3").json();
  EXPECT_EQ(reauthorized.at("vpn_ipv4"), move.json().at("vpn_ipv4"));
  EXPECT_EQ(heartbeat(std::string(reauthorized.at("device_credential").as_string())).status, 200u);
}

class ShortCredentialTest : public ControlTest {
 protected:
  // Expiry is stored in whole seconds: a 1-second credential issued late in a
  // second could expire before its first heartbeat.
  ShortCredentialTest() : ControlTest(LabOptions{{{"credential_seconds", 2}}, ""}) {}
};

TEST_F(ShortCredentialTest, CredentialExpiresOnItsOwn) {
  auto credential = credentialFor("DEVICE-1");
  EXPECT_EQ(heartbeat(credential).status, 200u);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  auto reply = heartbeat(credential);
  EXPECT_EQ(reply.status, 401u);
  EXPECT_EQ(reply.code(), "credential_expired");
}

TEST_F(TunnelTest, AuthorizationRefusesBadTokensAndRoutes) {
  auto missing = authorize("", "DEVICE-1");
  EXPECT_EQ(missing.status, 401u);
  auto forged = authorize("forged", "DEVICE-1");
  EXPECT_EQ(forged.status, 401u);
  EXPECT_EQ(forged.code(), "invalid_token");
  auto badRoute = client.post(
      "/v1/tunnel/authorize",
      R"({"device_key":"D","platform":"macos","device_name":"x","local_routes":["300.1.2.0/24"]})",
      login().access);
  EXPECT_EQ(badRoute.status, 400u);
  EXPECT_EQ(badRoute.code(), "invalid_request");
}

}  // namespace
}  // namespace testbed::test
