#include "control_test.hpp"

#include <chrono>
#include <thread>

namespace testbed::test {
namespace {

using AuthTest = ControlTest;

TEST_F(AuthTest, LoginAnswersATokenPairAndTheUser) {
  auto reply = client.post(
      "/v1/auth/login", R"({"method":"password","phone":"+15550100","password":"lab-password"})");
  ASSERT_EQ(reply.status, 200u) << reply.body;
  EXPECT_EQ(reply.contentType, "application/json");
  auto body = reply.json().as_object();
  EXPECT_TRUE(body.at("access_token").is_string());
  EXPECT_TRUE(body.at("refresh_token").is_string());
  EXPECT_NE(body.at("access_token"), body.at("refresh_token"));
  EXPECT_EQ(body.at("expires_in").as_int64(), 600);
  EXPECT_EQ(body.at("user").at("public_id").as_string(), labPublicId);
  EXPECT_EQ(body.at("user").at("phone").as_string(), labPhone);
}

TEST_F(AuthTest, LoginRefusesWrongPasswordUnknownPhoneAndOtherMethods) {
  auto wrong = client.post("/v1/auth/login",
                           R"({"method":"password","phone":"+15550100","password":"nope"})");
  EXPECT_EQ(wrong.status, 401u);
  EXPECT_EQ(wrong.code(), "invalid_login");
  auto unknown =
      client.post("/v1/auth/login", R"({"method":"password","phone":"+15550199","password":"x"})");
  EXPECT_EQ(unknown.status, 401u);
  EXPECT_EQ(unknown.code(), "invalid_login");
  auto method = client.post("/v1/auth/login",
                            R"({"method":"sms","phone":"+15550100","password":"lab-password"})");
  EXPECT_EQ(method.status, 400u);
  EXPECT_EQ(method.code(), "unsupported_method");
}

TEST_F(AuthTest, RefreshRotatesThePairAndSpendsTheOldRefreshToken) {
  auto first = login();
  auto reply = client.post("/v1/auth/refresh", R"({"refresh_token":")" + first.refresh + R"("})");
  ASSERT_EQ(reply.status, 200u) << reply.body;
  auto body = reply.json().as_object();
  EXPECT_EQ(body.at("expires_in").as_int64(), 600);
  std::string access(body.at("access_token").as_string());
  std::string refresh(body.at("refresh_token").as_string());
  EXPECT_NE(access, first.access);
  EXPECT_NE(refresh, first.refresh);
  EXPECT_FALSE(body.contains("user"));

  auto again = client.post("/v1/auth/refresh", R"({"refresh_token":")" + first.refresh + R"("})");
  EXPECT_EQ(again.status, 401u);
  EXPECT_EQ(again.code(), "invalid_refresh_token");

  EXPECT_EQ(client.get("/v1/account", access).status, 200u);
  auto next = client.post("/v1/auth/refresh", R"({"refresh_token":")" + refresh + R"("})");
  EXPECT_EQ(next.status, 200u);
}

TEST_F(AuthTest, AccountNeedsAValidBearerToken) {
  auto tokens = login();
  auto reply = client.get("/v1/account", tokens.access);
  ASSERT_EQ(reply.status, 200u);
  auto body = reply.json().as_object();
  EXPECT_EQ(body.at("remaining_bytes").as_int64(), 5368709120);
  EXPECT_EQ(body.at("recharge_baseline_bytes").as_int64(), 10737418240);

  auto missing = client.get("/v1/account");
  EXPECT_EQ(missing.status, 401u);
  EXPECT_EQ(missing.code(), "missing_token");
  auto forged = client.get("/v1/account", "forged");
  EXPECT_EQ(forged.status, 401u);
  EXPECT_EQ(forged.code(), "invalid_token");
  // A refresh token is no access token.
  EXPECT_EQ(client.get("/v1/account", tokens.refresh).status, 401u);
}

TEST_F(AuthTest, ExpiredTokensAreRefused) {
  auto tokens = login();
  ASSERT_EQ(admin.post("/admin/expire", {{"token", tokens.access}}).status, 200u);
  auto expired = client.get("/v1/account", tokens.access);
  EXPECT_EQ(expired.status, 401u);
  EXPECT_EQ(expired.code(), "token_expired");

  ASSERT_EQ(admin.post("/admin/expire", {{"token", tokens.refresh}}).status, 200u);
  auto refresh =
      client.post("/v1/auth/refresh", R"({"refresh_token":")" + tokens.refresh + R"("})");
  EXPECT_EQ(refresh.status, 401u);
  EXPECT_EQ(refresh.code(), "invalid_refresh_token");
  EXPECT_EQ(admin.post("/admin/expire", {{"token", "unknown"}}).status, 404u);
}

class ShortTokenTest : public ControlTest {
 protected:
  ShortTokenTest() : ControlTest(LabOptions{{{"access_token_seconds", 1}}, ""}) {}
};

TEST_F(ShortTokenTest, AccessTokenExpiresOnItsOwnAndRefreshStillWorks) {
  auto tokens = login();
  EXPECT_EQ(client.get("/v1/account", tokens.access).status, 200u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(client.get("/v1/account", tokens.access).code(), "token_expired");
  auto refreshed =
      client.post("/v1/auth/refresh", R"({"refresh_token":")" + tokens.refresh + R"("})");
  ASSERT_EQ(refreshed.status, 200u);
  EXPECT_EQ(refreshed.json().at("expires_in").as_int64(), 1);
}

TEST_F(AuthTest, ExtensionSessionIsASeparatePairBoundToTheDeviceKey) {
  auto user = login();
  auto extension = extensionSession(user.access, "DEVICE-A");
  EXPECT_NE(extension.access, user.access);
  EXPECT_NE(extension.refresh, user.refresh);

  EXPECT_EQ(authorize(extension.access, "DEVICE-A").status, 200u);
  auto other = authorize(extension.access, "DEVICE-B");
  EXPECT_EQ(other.status, 403u);
  EXPECT_EQ(other.code(), "device_mismatch");
  // The user's own token may authorize any of the user's devices.
  EXPECT_EQ(authorize(user.access, "DEVICE-B").status, 200u);

  // An extension cannot open further sessions.
  auto nested =
      client.post("/v1/auth/extension-session", R"({"device_key":"DEVICE-A"})", extension.access);
  EXPECT_EQ(nested.status, 403u);

  // Refreshing keeps the binding; the user's pair is untouched by it.
  auto refreshed =
      client.post("/v1/auth/refresh", R"({"refresh_token":")" + extension.refresh + R"("})");
  ASSERT_EQ(refreshed.status, 200u);
  std::string access(refreshed.json().at("access_token").as_string());
  EXPECT_EQ(authorize(access, "DEVICE-A").status, 200u);
  EXPECT_EQ(authorize(access, "DEVICE-B").code(), "device_mismatch");
  EXPECT_EQ(client.get("/v1/account", user.access).status, 200u);
  auto userRefresh =
      client.post("/v1/auth/refresh", R"({"refresh_token":")" + user.refresh + R"("})");
  EXPECT_EQ(userRefresh.status, 200u);
}

TEST_F(AuthTest, ExtensionSessionNeedsAUserTokenAndADeviceKey) {
  auto unauthorized = client.post("/v1/auth/extension-session", R"({"device_key":"D"})");
  EXPECT_EQ(unauthorized.status, 401u);
  auto user = login();
  auto empty = client.post("/v1/auth/extension-session", R"({"device_key":""})", user.access);
  EXPECT_EQ(empty.status, 400u);
  EXPECT_EQ(empty.code(), "invalid_request");
}

}  // namespace
}  // namespace testbed::test
