#include "control_test.hpp"

#include "flowgate/config/coding.hpp"
#include "flowgate/control/trust_bundle.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "platform/digest.hpp"
#include "runtime/ipv4.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/credential/credential.hpp"
#include "testbed/geoip/geoip_manifest.hpp"

#include <fstream>

namespace testbed::test {
namespace {

using PublicationTest = ControlTest;

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

flowgate::ExtensionGeoIPManifest manifestOf(const Reply& reply) {
  return runtime::json::decode<flowgate::ExtensionGeoIPManifest>(reply.json(),
                                                                 flowgate::controlServerForm);
}

TEST_F(PublicationTest, TrustBundleIsValidForTheDaemonAndCarriesTheLabKeys) {
  auto reply = client.get("/v1/trust-bundle");
  ASSERT_EQ(reply.status, 200u);
  auto bundle = flowgate::decodeTrustBundle(bytes(reply.body));
  EXPECT_EQ(bundle.version, 3u);
  ASSERT_EQ(bundle.nodeTlsCaCertificates.size(), 1u);
  EXPECT_EQ(bundle.nodeTlsCaCertificates[0], readTextFile(server.directory() / "pki/node-ca.pem"));
  auto keys = decodeCredentialKeys(readTextFile(server.credentialKeys()));
  ASSERT_EQ(bundle.deviceCredentialKeys.size(), keys.size());
  EXPECT_EQ(bundle.deviceCredentialKeys[0].publicKey, keys[0].publicKey);
  EXPECT_EQ(bundle.deviceCredentialKeys[0].keyId, keys[0].keyId);
  // The wire keys are snake_case.
  EXPECT_TRUE(reply.json().as_object().contains("node_tls_ca_certificates"));
  EXPECT_TRUE(reply.json().as_object().contains("device_credential_keys"));
}

TEST_F(PublicationTest, AdminServesTheTrustBundleVersionAskedFor) {
  ASSERT_EQ(admin.post("/admin/trust-bundle", {{"version", 9}}).status, 200u);
  EXPECT_EQ(flowgate::decodeTrustBundle(bytes(client.get("/v1/trust-bundle").body)).version, 9u);
  // Going back is allowed here: clients are what must refuse it.
  ASSERT_EQ(admin.post("/admin/trust-bundle", {{"version", 2}}).status, 200u);
  EXPECT_EQ(flowgate::decodeTrustBundle(bytes(client.get("/v1/trust-bundle").body)).version, 2u);
  EXPECT_EQ(admin.post("/admin/trust-bundle", {{"version", 0}}).status, 400u);
}

TEST_F(PublicationTest, GeoIPManifestDescribesTheFileItNames) {
  auto reply = client.get("/v1/geoip/manifest");
  ASSERT_EQ(reply.status, 200u);
  for (const char* key :
       {"version", "sha256", "size_bytes", "direct_cidr_count", "route_count", "built_at", "url"}) {
    EXPECT_TRUE(reply.json().as_object().contains(key)) << key;
  }
  auto manifest = manifestOf(reply);
  EXPECT_EQ(manifest.version, 4u);
  EXPECT_EQ(manifest.directCidrCount, 1);
  EXPECT_EQ(manifest.routeCount, 2);

  auto file = client.get(manifest.url);
  ASSERT_EQ(file.status, 200u);
  EXPECT_EQ(file.contentType, "application/octet-stream");
  EXPECT_EQ(static_cast<std::int64_t>(file.body.size()), manifest.sizeBytes);
  EXPECT_EQ(platform::sha256Hex(bytes(file.body)), manifest.sha256);
  auto table = flowgate::geoip::decode(bytes(file.body));
  EXPECT_EQ(table.version(), manifest.version);
  EXPECT_EQ(table.directCIDRs(), std::vector<std::string>{"192.0.2.0/25"});
  EXPECT_EQ(table.region(*runtime::ipv4::ipv4Value("203.0.113.200")), "US");
}

TEST_F(PublicationTest, AdminPublishesANewGeoIPVersion) {
  auto before = manifestOf(client.get("/v1/geoip/manifest"));
  ASSERT_EQ(admin.post("/admin/geoip", {{"version", 5}}).status, 200u);
  auto after = manifestOf(client.get("/v1/geoip/manifest"));
  EXPECT_EQ(after.version, 5u);
  EXPECT_NE(after.sha256, before.sha256);
  EXPECT_NE(after.url, before.url);
  auto file = client.get(after.url);
  ASSERT_EQ(file.status, 200u);
  EXPECT_EQ(platform::sha256Hex(bytes(file.body)), after.sha256);
  EXPECT_EQ(flowgate::geoip::decode(bytes(file.body)).version(), 5u);
  // The superseded file is gone, and authorizations hand out the new manifest.
  EXPECT_EQ(client.get(before.url).status, 404u);
  auto config = authorize(login().access, "DEVICE-1").json().at("config");
  EXPECT_EQ(config.at("geoip").at("version").as_int64(), 5);
}

TEST_F(PublicationTest, AdminPublishesATableFromFiles) {
  auto dir = server.directory().string();
  {
    std::ofstream source(server.directory() / "next.txt");
    source << "direct 192.0.2.0/26\ndirect 192.0.2.64/26\nroute 198.18.0.0/24 JP\n";
  }
  runCommand(std::string(TESTBED_GEOIP_BIN) + " --source " + dir + "/next.txt --version 11 --out " +
             dir + "/next.bin --manifest " + dir +
             "/next.json --url /v1/geoip/next.bin >/dev/null");
  ASSERT_EQ(
      admin.post("/admin/geoip", {{"table", dir + "/next.bin"}, {"manifest", dir + "/next.json"}})
          .status,
      200u);
  auto manifest = manifestOf(client.get("/v1/geoip/manifest"));
  EXPECT_EQ(manifest.version, 11u);
  EXPECT_EQ(manifest.url, "/v1/geoip/next.bin");
  EXPECT_EQ(manifest.directCidrCount, 2);
  EXPECT_EQ(platform::sha256Hex(bytes(client.get("/v1/geoip/next.bin").body)), manifest.sha256);

  // A manifest that does not describe its table is refused and changes nothing.
  runCommand(std::string(TESTBED_GEOIP_BIN) + " --source " + dir + "/next.txt --version 12 --out " +
             dir + "/other.bin --manifest " + dir + "/other.json >/dev/null");
  auto mismatched =
      admin.post("/admin/geoip", {{"table", dir + "/next.bin"}, {"manifest", dir + "/other.json"}});
  EXPECT_EQ(mismatched.status, 400u);
  EXPECT_EQ(manifestOf(client.get("/v1/geoip/manifest")).version, 11u);
}

}  // namespace
}  // namespace testbed::test
