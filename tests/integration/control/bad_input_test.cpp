#include "control_test.hpp"

#include <chrono>

namespace testbed::test {
namespace {

class BadInputTest : public ControlTest {
 protected:
  BadInputTest() : ControlTest(LabOptions{{}, "--read-timeout-ms 400"}) {}

  void expectStillServing() {
    EXPECT_TRUE(server.alive());
    EXPECT_EQ(client.get("/v1/trust-bundle").status, 200u);
  }
};

const char* const postEndpoints[] = {"/v1/auth/login", "/v1/auth/refresh",
                                     "/v1/auth/extension-session", "/v1/tunnel/authorize",
                                     "/v1/tunnel/heartbeat"};

TEST_F(BadInputTest, MalformedJSONIsRefusedByEveryEndpoint) {
  auto token = login().access;
  for (const char* path : postEndpoints) {
    for (const char* body : {"", "{", "not json", R"({"refresh_token":"x")", "{\"a\":\"\xff\"}"}) {
      auto reply = client.post(path, body, token);
      EXPECT_EQ(reply.status, 400u) << path << " " << body;
      EXPECT_EQ(reply.code(), "invalid_json") << path << " " << body;
    }
  }
  expectStillServing();
}

TEST_F(BadInputTest, MissingFieldsAndWrongTypesAreRefused) {
  auto token = login().access;
  const std::pair<const char*, const char*> cases[] = {
      {"/v1/auth/login", R"({"method":"password","phone":15550100,"password":"x"})"},
      {"/v1/auth/login", R"({"method":"password","phone":"+15550100"})"},
      {"/v1/auth/login", R"(["password","+15550100","lab-password"])"},
      {"/v1/auth/refresh", R"({})"},
      {"/v1/auth/refresh", R"({"refresh_token":null})"},
      {"/v1/auth/extension-session", R"({"device_key":{"nested":true}})"},
      {"/v1/tunnel/authorize",
       R"({"device_key":"D","platform":"macos","device_name":"x","local_routes":"198.51.100.0/24"})"},
      {"/v1/tunnel/authorize", R"({"device_key":"D","platform":"macos","local_routes":[]})"},
      {"/v1/tunnel/authorize",
       R"({"device_key":"D","platform":"macos","device_name":"x","local_routes":[7]})"},
      {"/v1/tunnel/heartbeat", R"({"device_credential":true})"},
      {"/v1/tunnel/heartbeat", R"("a string")"},
  };
  for (const auto& [path, body] : cases) {
    auto reply = client.post(path, body, token);
    EXPECT_EQ(reply.status, 400u) << path << " " << body;
    EXPECT_EQ(reply.code(), "invalid_request") << path << " " << body;
  }
  expectStillServing();
}

TEST_F(BadInputTest, OversizedBodiesAreRefused) {
  std::string huge = R"({"refresh_token":")" + std::string(100 * 1024, 'a') + R"("})";
  auto reply = client.post("/v1/auth/refresh", huge);
  EXPECT_EQ(reply.status, 400u);
  EXPECT_EQ(reply.code(), "body_too_large");
  // Deeply nested JSON within the size limit is refused, not recursed into.
  std::string deep = std::string(20000, '[') + std::string(20000, ']');
  EXPECT_EQ(client.post("/v1/auth/login", deep).status, 400u);
  expectStillServing();
}

TEST_F(BadInputTest, TruncatedAndGarbledRequestsAreRefused) {
  // The body stops short of its length and the client closes its side.
  auto truncated = client.raw(
      "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"method\":");
  EXPECT_TRUE(truncated.starts_with("HTTP/1.1 400")) << truncated;
  auto garbled = client.raw("NOT HTTP AT ALL\r\n\r\n");
  EXPECT_TRUE(garbled.starts_with("HTTP/1.1 400")) << garbled;
  auto header = client.raw(
      "GET /v1/account HTTP/1.1\r\nHost: x\r\nX: " + std::string(32 * 1024, 'h') + "\r\n\r\n");
  EXPECT_TRUE(header.starts_with("HTTP/1.1 400")) << header.substr(0, 40);
  expectStillServing();
}

TEST_F(BadInputTest, StalledClientsAreCutOffAtTheReadTimeout) {
  // Half a request and then silence: the server closes the connection at its
  // read timeout, well within the client's own five-second limit.
  auto start = std::chrono::steady_clock::now();
  auto stalled =
      client.raw("POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n{", false);
  EXPECT_EQ(stalled, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  // A connection that never sends a byte is closed the same way.
  EXPECT_EQ(client.raw("", false), "");
  expectStillServing();
}

TEST_F(BadInputTest, UnknownPathsAndMethodsAreRefused) {
  auto missing = client.get("/v1/nothing");
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.code(), "not_found");
  auto method = client.get("/v1/auth/login");
  EXPECT_EQ(method.status, 405u);
  EXPECT_EQ(method.code(), "method_not_allowed");
  EXPECT_EQ(client.post("/v1/trust-bundle", "{}").status, 405u);
}

}  // namespace
}  // namespace testbed::test
