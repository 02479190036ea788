#include "runtime/key_case.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

using runtime::camelToSnake;
using runtime::snakeToCamel;

TEST(SnakeToCamel, JoinsWordsCapitalisingAllButTheFirst) {
  EXPECT_EQ(snakeToCamel("query_timeout_ms"), "queryTimeoutMs");
  EXPECT_EQ(snakeToCamel("positive_ttl_cap_seconds"), "positiveTtlCapSeconds");
  EXPECT_EQ(snakeToCamel("credential_expires_at"), "credentialExpiresAt");
  EXPECT_EQ(snakeToCamel("node__id"), "nodeId");
}

TEST(SnakeToCamel, LeavesKeysWithoutInnerUnderscoresAlone) {
  EXPECT_EQ(snakeToCamel("sha256"), "sha256");
  EXPECT_EQ(snakeToCamel("vpnCidr"), "vpnCidr");
  EXPECT_EQ(snakeToCamel("_version_"), "_version_");
  EXPECT_EQ(snakeToCamel("___"), "___");
  EXPECT_EQ(snakeToCamel(""), "");
  EXPECT_EQ(snakeToCamel("_node_id__"), "_nodeId__");
}

TEST(CamelToSnake, SplitsAtCapitalsAndLowersWords) {
  EXPECT_EQ(camelToSnake("deviceKey"), "device_key");
  EXPECT_EQ(camelToSnake("localRoutes"), "local_routes");
  EXPECT_EQ(camelToSnake("platform"), "platform");
  EXPECT_EQ(camelToSnake("device_name"), "device_name");
  EXPECT_EQ(camelToSnake("myURLValue"), "my_url_value");
  EXPECT_EQ(camelToSnake("vpnIPv4"), "vpn_i_pv4");
  EXPECT_EQ(camelToSnake(""), "");
}

TEST(CamelToSnake, ConvertsNestedObjectKeysOfABody) {
  auto body = boost::json::parse(R"({"deviceKey":"k","nested":{"innerValue":[{"aB":1}]}})");
  EXPECT_EQ(boost::json::serialize(runtime::withSnakeCaseKeys(body)),
            R"({"device_key":"k","nested":{"inner_value":[{"a_b":1}]}})");
}
