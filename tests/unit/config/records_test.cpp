#include "flowgate/config/records.hpp"
#include "flowgate/config/coding.hpp"
#include "flowgate/config/node_ids.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "veskar/control/tunnel_records.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <unordered_set>

using namespace flowgate;
namespace json = runtime::json;
namespace bj = boost::json;

namespace {

const char* kBootstrap = R"({
  "controlURL": "https://control.example.test",
  "controlIPv4": ["192.0.2.10"],
  "deviceKey": "dk-1",
  "deviceID": 18446744073709551615,
  "deviceCredential": "cred",
  "credentialExpiresAt": "2026-12-09T00:00:00Z",
  "vpnIPv4": "198.19.0.2",
  "leaseExpiresAt": "2026-12-10T00:00:00Z",
  "config": {
    "version": 7, "mtu": 1400, "vpnCidr": "198.19.0.0/16",
    "nodes": [
      {"id": 1, "name": "A", "address": "192.0.2.1:443", "tlsServerName": "a.test", "priority": 1},
      {"id": 2, "name": "B", "address": "relay.test:443", "priority": -2}
    ],
    "routes": [{"cidr": "203.0.113.0/24", "nodes": [2, 1]}],
    "paths": [{"nodes": [1, 2], "priority": 5}],
    "defaultNodes": [1],
    "nodeGroups": {"us_east": [{"nodeId": 2, "priority": 1, "weight": 10}]},
    "geoip": {"version": 3, "sha256": "ab", "sizeBytes": 1024, "directCidrCount": 2,
              "routeCount": 9, "builtAt": "2026-12-01", "url": "https://x.test/geoip.bin"},
    "dns": {"version": 1, "servers": ["198.19.0.53", "::1"], "localRegion": "CN",
            "localResolvers": ["192.0.2.53"], "defaultRegion": "US", "queryTimeoutMs": 1500,
            "retries": 2, "positiveTtlCapSeconds": 300, "negativeTtlSeconds": 30,
            "failureTtlSeconds": 5}
  },
  "localRoutes": ["192.168.1.0/24"]
})";

// The config of kBootstrap as the control server spells it.
const char* kControlConfig = R"({
  "version": 7, "mtu": 1400, "vpn_cidr": "198.19.0.0/16",
  "nodes": [
    {"id": 1, "name": "A", "address": "192.0.2.1:443", "tls_server_name": "a.test", "priority": 1},
    {"id": 2, "name": "B", "address": "relay.test:443", "tls_server_name": null, "priority": -2}
  ],
  "routes": [{"cidr": "203.0.113.0/24", "nodes": [2, 1]}],
  "paths": [{"nodes": [1, 2], "priority": 5}],
  "default_nodes": [1],
  "node_groups": {"us_east": [{"node_id": 2, "priority": 1, "weight": 10}]},
  "geoip": {"version": 3, "sha256": "ab", "size_bytes": 1024, "direct_cidr_count": 2,
            "route_count": 9, "built_at": "2026-12-01", "url": "https://x.test/geoip.bin"},
  "dns": {"version": 1, "servers": ["198.19.0.53", "::1"], "local_region": "CN",
          "local_resolvers": ["192.0.2.53"], "default_region": "US", "query_timeout_ms": 1500,
          "retries": 2, "positive_ttl_cap_seconds": 300, "negative_ttl_seconds": 30,
          "failure_ttl_seconds": 5},
  "unknown_extra": {"ignored": true}
})";

ExtensionBootstrap bootstrap() {
  return json::decodeText<ExtensionBootstrap>(kBootstrap, bootstrapForm);
}

bj::value withEdit(const char* text, void (*edit)(bj::object&)) {
  auto value = bj::parse(text);
  edit(value.as_object());
  return value;
}

template <class T>
runtime::ErrorCode decodeError(const bj::value& value, runtime::json::KeyStyle style) {
  try {
    json::decode<T>(value, style);
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

}  // namespace

TEST(BootstrapForm, DecodesEveryField) {
  auto b = bootstrap();
  EXPECT_EQ(b.deviceID, UINT64_MAX);
  EXPECT_EQ(b.controlIPv4, std::vector<std::string>{"192.0.2.10"});
  EXPECT_EQ(b.config.nodes.at(0).tlsServerName, "a.test");
  EXPECT_FALSE(b.config.nodes.at(1).tlsServerName);
  EXPECT_EQ(b.config.nodes.at(1).priority, -2);
  ASSERT_TRUE(b.config.paths);
  EXPECT_EQ(b.config.paths->at(0).nodes, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(b.config.nodeGroups.at("us_east").at(0), (ExtensionNodeGroupMember{2, 1, 10}));
  ASSERT_TRUE(b.config.geoip);
  EXPECT_EQ(b.config.geoip->sizeBytes, 1024);
  EXPECT_EQ(b.config.dns.failureTtlSeconds, 5);
  EXPECT_EQ(b.config.dns.servers.at(1), "::1");
}

TEST(BootstrapForm, RoundTripsToAnEqualRecord) {
  auto b = bootstrap();
  auto text = json::encodeText(b);
  EXPECT_EQ(json::decodeText<ExtensionBootstrap>(text, bootstrapForm), b);
  // The field names are written as they are, with no conversion.
  for (const char* key : {"\"controlURL\"", "\"deviceID\"", "\"vpnIPv4\"", "\"tlsServerName\"",
                          "\"positiveTtlCapSeconds\"", "\"nodeId\"", "\"sizeBytes\""}) {
    EXPECT_NE(text.find(key), std::string::npos) << key;
  }
  EXPECT_NE(text.find("18446744073709551615"), std::string::npos);
}

TEST(BootstrapForm, AbsentOptionalsDecodeAbsentAndAreLeftOutWhenEncoding) {
  auto value = withEdit(kBootstrap, [](bj::object& o) {
    auto& config = o["config"].as_object();
    config.erase("paths");
    config["geoip"] = nullptr;
    config["nodes"].as_array()[0].as_object()["tlsServerName"] = nullptr;
  });
  auto b = json::decode<ExtensionBootstrap>(value, bootstrapForm);
  EXPECT_FALSE(b.config.paths);
  EXPECT_FALSE(b.config.geoip);
  EXPECT_FALSE(b.config.nodes[0].tlsServerName);
  auto text = json::encodeText(b);
  for (const char* key : {"\"paths\"", "\"geoip\"", "\"tlsServerName\"", "null"}) {
    EXPECT_EQ(text.find(key), std::string::npos) << key;
  }
}

TEST(BootstrapForm, NodeWithNullServerNameEqualsNodeWithoutOne) {
  auto withNull = json::decodeText<ExtensionNode>(
      R"({"id":1,"name":"n","address":"h:1","tlsServerName":null,"priority":0})");
  auto without =
      json::decodeText<ExtensionNode>(R"({"id":1,"name":"n","address":"h:1","priority":0})");
  EXPECT_EQ(withNull, without);
  EXPECT_EQ(std::hash<ExtensionNode>{}(withNull), std::hash<ExtensionNode>{}(without));
}

TEST(BootstrapForm, SnakeCaseKeysDoNotDecode) {
  auto value = withEdit(kBootstrap, [](bj::object& o) {
    o["device_id"] = o["deviceID"];
    o.erase("deviceID");
  });
  EXPECT_EQ(decodeError<ExtensionBootstrap>(value, bootstrapForm),
            runtime::DecodingError::keyNotFound);
  auto config = bj::parse(kControlConfig);
  EXPECT_EQ(decodeError<ExtensionConfig>(config, bootstrapForm),
            runtime::DecodingError::keyNotFound);
}

TEST(ControlServerForm, SnakeCaseConfigMatchesTheBootstrapConfig) {
  auto config = json::decode<ExtensionConfig>(bj::parse(kControlConfig), controlServerForm);
  EXPECT_EQ(config, bootstrap().config);
  // Region names are data: the group key keeps its underscore.
  EXPECT_TRUE(config.nodeGroups.contains("us_east"));
}

TEST(ControlServerForm, CamelCaseKeysStillDecode) {
  auto camel = bj::parse(kBootstrap).as_object()["config"];
  EXPECT_EQ(json::decode<ExtensionConfig>(camel, controlServerForm), bootstrap().config);
  auto manifest = json::decodeText<ExtensionGeoIPManifest>(
      R"({"version":1,"sha256":"x","size_bytes":5,"directCidrCount":1,"route_count":2,
          "built_at":"t","url":"u"})",
      controlServerForm);
  EXPECT_EQ(manifest.sizeBytes, 5);
  EXPECT_EQ(manifest.directCidrCount, 1);
}

TEST(Decoding, RequiredFieldsNeedTheRightType) {
  struct Case {
    const char* name;
    void (*edit)(bj::object&);
    runtime::DecodingError expected;
  };
  using runtime::DecodingError;
  const Case cases[] = {
      {"missing deviceKey", [](bj::object& o) { o.erase("deviceKey"); },
       DecodingError::keyNotFound},
      {"null deviceKey", [](bj::object& o) { o["deviceKey"] = nullptr; },
       DecodingError::valueNotFound},
      {"number for text", [](bj::object& o) { o["vpnIPv4"] = 5; }, DecodingError::typeMismatch},
      {"text for u64", [](bj::object& o) { o["deviceID"] = "1"; }, DecodingError::typeMismatch},
      {"bool for u64", [](bj::object& o) { o["deviceID"] = true; }, DecodingError::typeMismatch},
      {"negative u64", [](bj::object& o) { o["deviceID"] = -1; }, DecodingError::dataCorrupted},
      {"fractional u64", [](bj::object& o) { o["deviceID"] = 1.5; }, DecodingError::dataCorrupted},
      {"u64 past 2^64", [](bj::object& o) { o["deviceID"] = 18446744073709551616.0; },
       DecodingError::dataCorrupted},
      {"int past 2^63", [](bj::object& o) { o["config"].as_object()["mtu"] = UINT64_MAX; },
       DecodingError::dataCorrupted},
      {"object for list", [](bj::object& o) { o["localRoutes"] = bj::object(); },
       DecodingError::typeMismatch},
      {"bad list element", [](bj::object& o) { o["controlIPv4"].as_array().push_back(1); },
       DecodingError::typeMismatch},
      {"nested member missing",
       [](bj::object& o) { o["config"].as_object()["dns"].as_object().erase("failureTtlSeconds"); },
       DecodingError::keyNotFound},
      {"node id negative",
       [](bj::object& o) { o["config"].as_object()["defaultNodes"].as_array()[0] = -3; },
       DecodingError::dataCorrupted},
      {"optional of wrong type", [](bj::object& o) { o["config"].as_object()["paths"] = "none"; },
       DecodingError::typeMismatch},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeError<ExtensionBootstrap>(withEdit(kBootstrap, c.edit), bootstrapForm),
              c.expected)
        << c.name;
  }
}

TEST(Decoding, WholeNumbersWrittenWithAFractionPartAndUnknownKeysAreAccepted) {
  auto b = json::decode<ExtensionBootstrap>(withEdit(kBootstrap,
                                                     [](bj::object& o) {
                                                       o["deviceID"] = 42.0;
                                                       o["config"].as_object()["mtu"] = -1;
                                                       o["somethingNew"] = bj::array{1, 2};
                                                     }),
                                            bootstrapForm);
  EXPECT_EQ(b.deviceID, 42u);
  EXPECT_EQ(b.config.mtu, -1);
}

TEST(Decoding, MalformedTextPassesTheParserErrorThrough) {
  EXPECT_THROW(json::decodeText<ExtensionNode>(("{\"id\": 1,")), boost::system::system_error);
}

TEST(Records, HashAndEqualityCoverEveryField) {
  auto base = bootstrap().config.nodes[0];
  auto renamed = base;
  renamed.name = "other";
  auto noServerName = base;
  noServerName.tlsServerName.reset();
  std::unordered_set<ExtensionNode> nodes{base, renamed, noServerName, base};
  EXPECT_EQ(nodes.size(), 3u);

  std::unordered_set<ExtensionPath> paths{{{1, 2}, 1}, {{2, 1}, 1}, {{1, 2}, 2}, {{1, 2}, 1}};
  EXPECT_EQ(paths.size(), 3u);
  std::unordered_set<ExtensionRoute> routes{{"1.0.0.0/8", {1}}, {"1.0.0.0/8", {1, 2}}};
  EXPECT_EQ(routes.size(), 2u);
  auto manifest = *bootstrap().config.geoip;
  auto newer = manifest;
  newer.version++;
  std::unordered_set<ExtensionGeoIPManifest> manifests{manifest, newer, manifest};
  EXPECT_EQ(manifests.size(), 2u);
}

TEST(Records, ApplicationNamesAreTheSameTypes) {
  static_assert(std::is_same_v<veskar::TunnelBootstrap, ExtensionBootstrap>);
  static_assert(std::is_same_v<veskar::GeoIPManifest, ExtensionGeoIPManifest>);
  veskar::TunnelBootstrap app = bootstrap();
  EXPECT_EQ(json::encodeText(app), json::encodeText(bootstrap()));
}

TEST(NodeIDs, RepeatedIdIsRejectedAsInvalidFrame) {
  auto config = bootstrap().config;
  EXPECT_TRUE(hasUniqueNodeIDs(config));
  EXPECT_NO_THROW(requireUniqueNodeIDs(config));
  config.nodes.push_back(config.nodes[0]);
  config.nodes.back().address = "192.0.2.99:443";
  EXPECT_FALSE(hasUniqueNodeIDs(config));
  try {
    requireUniqueNodeIDs(config);
    FAIL();
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), ProtocolError::invalidFrame);
    EXPECT_EQ(e.code().message(), "Invalid frame");
  }
}
