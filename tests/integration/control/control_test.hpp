#pragma once

// A control server process per test, with clients and the calls most tests
// start from.

#include "tests/support/control/control_process.hpp"
#include "tests/support/control/test_client.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <string>

namespace testbed::test {

struct Tokens {
  std::string access;
  std::string refresh;
};

class ControlTest : public ::testing::Test {
 protected:
  explicit ControlTest(const LabOptions& options = {})
      : server(options), client(server.port(), server.controlCA()), admin(server.adminPort()) {}

  Tokens login() {
    auto reply =
        client.post("/v1/auth/login", R"({"method":"password","phone":")" + std::string(labPhone) +
                                          R"(","password":")" + labPassword + R"("})");
    EXPECT_EQ(reply.status, 200u) << reply.body;
    auto body = reply.json().as_object();
    return {std::string(body.at("access_token").as_string()),
            std::string(body.at("refresh_token").as_string())};
  }

  Tokens extensionSession(const std::string& userAccess, const std::string& deviceKey) {
    auto reply = client.post("/v1/auth/extension-session",
                             R"({"device_key":")" + deviceKey + R"("})", userAccess);
    EXPECT_EQ(reply.status, 200u) << reply.body;
    auto body = reply.json().as_object();
    return {std::string(body.at("access_token").as_string()),
            std::string(body.at("refresh_token").as_string())};
  }

  Reply authorize(const std::string& access, const std::string& deviceKey) {
    return client.post("/v1/tunnel/authorize",
                       R"({"device_key":")" + deviceKey +
                           R"(","platform":"macos","device_name":"Lab Mac",)"
                           R"("local_routes":["198.51.100.0/24"]})",
                       access);
  }

  std::string credentialFor(const std::string& deviceKey) {
    auto reply = authorize(login().access, deviceKey);
    EXPECT_EQ(reply.status, 200u) << reply.body;
    return std::string(reply.json().at("device_credential").as_string());
  }

  Reply heartbeat(const std::string& credential) {
    return client.post("/v1/tunnel/heartbeat", R"({"device_credential":")" + credential + R"("})");
  }

  ControlProcess server;
  HttpsClient client;
  AdminClient admin;
};

}  // namespace testbed::test
