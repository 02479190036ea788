// What the control client sends, and the replies the testbed server cannot
// produce (bodies that are not UTF-8).

#include "veskar/control/control_client.hpp"

#include "platform/fake_http_client.hpp"
#include "platform/url.hpp"
#include "runtime/text.hpp"
#include "tests/support/async/await_task.hpp"
#include "veskar/control/texts.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

namespace veskar {
namespace {

namespace bj = boost::json;

class ControlClientRequests : public ::testing::Test {
 protected:
  platform::HttpResponse answer{200, {}, "{}"};
  std::shared_ptr<platform::FakeHttpClient> http = std::make_shared<platform::FakeHttpClient>(
      platform::FakeHttpClient::replying([this](const platform::HttpRequest&) { return answer; }));
  ControlClient client{http, *platform::parseURL("https://control.example")};
  boost::asio::io_context io;

  platform::HttpRequest last() const { return http->requests().back(); }
  static std::optional<std::string> header(const platform::HttpRequest& request,
                                           const std::string& name) {
    for (const auto& [key, value] : request.headers) {
      if (key == name) return value;
    }
    return std::nullopt;
  }
};

TEST_F(ControlClientRequests, SendsJSONPostsAndABareGet) {
  answer.body = R"({"access_token":"a","expires_in":600,"refresh_token":"r",)"
                R"("user":{"public_id":"u-1","phone":"+1555"}})";
  auto login = testsupport::settle(io, client.login("+1555", "pw")).get();
  EXPECT_EQ(login.user.publicId, "u-1");
  auto sent = last();
  EXPECT_EQ(sent.method, platform::HttpMethod::post);
  EXPECT_EQ(sent.url.buffer(), "https://control.example/v1/auth/login");
  EXPECT_EQ(header(sent, "Content-Type"), "application/json");
  EXPECT_FALSE(header(sent, "Authorization"));
  EXPECT_EQ(bj::parse(sent.body),
            bj::parse(R"({"method":"password","phone":"+1555","password":"pw"})"));
  EXPECT_EQ(sent.timeout, std::chrono::seconds(60));

  answer.body = R"({"remaining_bytes":-5,"recharge_baseline_bytes":9})";
  auto account = testsupport::settle(io, client.account("tok")).get();
  EXPECT_EQ(account, (AccountResponse{-5, 9}));
  sent = last();
  EXPECT_EQ(sent.method, platform::HttpMethod::get);
  EXPECT_EQ(header(sent, "Authorization"), "Bearer tok");
  EXPECT_FALSE(header(sent, "Content-Type"));
  EXPECT_TRUE(sent.body.empty());
}

TEST_F(ControlClientRequests, ABodyThatIsNotUTF8IsCarriedAsEmptyText) {
  answer = {403, {}, "refused \xff\xfe"};
  auto outcome = testsupport::settle(io, client.account("tok"));
  auto error = outcome.errorAs<APIError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->status(), 403u);
  EXPECT_EQ(error->body(), "");
  EXPECT_EQ(error->localizedDescription(), "The server answered with status 403: ");
}

TEST(Texts, EveryErrorKeyHasAnEnglishText) {
  for (const auto& error : {APIError::server(500, "x"), APIError::invalidResponse(),
                            APIError::missingAuthorization(), APIError::noAvailableNodes()}) {
    EXPECT_NE(localized(error.localizationKey()), error.localizationKey());
  }
  EXPECT_EQ(APIError::missingAuthorization().localizationKey(),
            std::string("error.session.expired"));
  EXPECT_EQ(localized("no.such.key"), "no.such.key");
  EXPECT_EQ(localizedFormat("error.server.format", {"401", "nope"}),
            "The server answered with status 401: nope");
}

TEST(UTF8, WellFormedOnly) {
  EXPECT_TRUE(runtime::isValidUTF8(""));
  EXPECT_TRUE(runtime::isValidUTF8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  for (const char* bad :
       {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    EXPECT_FALSE(runtime::isValidUTF8(bad)) << bad;
  }
}

}  // namespace
}  // namespace veskar
