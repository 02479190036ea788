#include "control_test.hpp"

#include <chrono>
#include <future>
#include <thread>

namespace testbed::test {
namespace {

using FaultTest = ControlTest;

TEST_F(FaultTest, AFaultAnswersTheGivenStatusAndBodyForItsTimes) {
  ASSERT_EQ(admin
                .post("/admin/faults", {{"path", "/v1/trust-bundle"},
                                        {"status", 503},
                                        {"body", {{"code", "maintenance"}}},
                                        {"times", 2}})
                .status,
            200u);
  for (int i = 0; i < 2; ++i) {
    auto reply = client.get("/v1/trust-bundle");
    EXPECT_EQ(reply.status, 503u);
    EXPECT_EQ(reply.code(), "maintenance");
  }
  EXPECT_EQ(client.get("/v1/trust-bundle").status, 200u);
}

TEST_F(FaultTest, ARawBodyAndAnyStatusCanBeServed) {
  ASSERT_EQ(admin
                .post("/admin/faults",
                      {{"path", "/v1/tunnel/heartbeat"}, {"status", 502}, {"body_text", "<html>"}})
                .status,
            200u);
  auto reply = client.post("/v1/tunnel/heartbeat", R"({"device_credential":"x"})");
  EXPECT_EQ(reply.status, 502u);
  EXPECT_EQ(reply.body, "<html>");
  // Until cleared.
  EXPECT_EQ(client.post("/v1/tunnel/heartbeat", "{}").status, 502u);
  ASSERT_EQ(admin.post("/admin/faults/clear", {{"path", "/v1/tunnel/heartbeat"}}).status, 200u);
  EXPECT_EQ(client.post("/v1/tunnel/heartbeat", R"({"device_credential":"x"})").code(),
            "invalid_credential");
}

TEST_F(FaultTest, ADelayHoldsTheAnswerWithoutHoldingOtherRequests) {
  ASSERT_EQ(admin.post("/admin/faults", {{"path", "/v1/account"}, {"delay_ms", 700}}).status, 200u);
  auto token = login().access;
  auto start = std::chrono::steady_clock::now();
  auto delayed = std::async(std::launch::async, [&] { return client.get("/v1/account", token); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(client.get("/v1/trust-bundle").status, 200u);
  EXPECT_EQ(delayed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  // With only a delay, the endpoint itself answers afterwards.
  EXPECT_EQ(delayed.get().status, 200u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
}

TEST_F(FaultTest, ACloseFaultAnswersNothing) {
  ASSERT_EQ(admin.post("/admin/faults", {{"path", "/v1/auth/refresh"}, {"close", true}}).status,
            200u);
  EXPECT_EQ(
      client.raw("POST /v1/auth/refresh HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", false),
      "");
}

TEST_F(FaultTest, RequestsAreCountedPerEndpoint) {
  auto tokens = login();
  ASSERT_EQ(admin.post("/admin/counts/reset", boost::json::object{}).status, 200u);
  EXPECT_EQ(admin.count("/v1/auth/refresh"), 0u);
  client.post("/v1/auth/refresh", R"({"refresh_token":")" + tokens.refresh + R"("})");
  client.get("/v1/account", tokens.access);
  client.get("/v1/account", tokens.access);
  // Refused requests count too.
  client.post("/v1/auth/login", "{");
  EXPECT_EQ(admin.count("/v1/auth/refresh"), 1u);
  EXPECT_EQ(admin.count("/v1/account"), 2u);
  EXPECT_EQ(admin.count("/v1/auth/login"), 1u);
  EXPECT_EQ(admin.count("/v1/tunnel/authorize"), 0u);
}

TEST_F(FaultTest, AdminRefusesMalformedControls) {
  EXPECT_EQ(admin.post("/admin/faults", {{"status", 500}}).status, 400u);
  EXPECT_EQ(admin.post("/admin/faults", {{"path", "/v1/account"}, {"status", "500"}}).status, 400u);
  EXPECT_EQ(admin.post("/admin/faults", {{"path", "/v1/account"}, {"times", 0}}).status, 400u);
  EXPECT_EQ(admin.post("/admin/expire", boost::json::object{}).status, 400u);
  EXPECT_EQ(admin.post("/admin/move-lease", {{"device_key", "never-seen"}}).status, 404u);
  EXPECT_EQ(admin.get("/admin/nothing").status, 404u);
}

}  // namespace
}  // namespace testbed::test
