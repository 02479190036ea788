// How the control client maps the server's answers, with the testbed control
// server answering through its fault controls.

#include "tests/integration/login/login_fixture.hpp"

#include "runtime/json_codec.hpp"
#include "veskar/control/api_error.hpp"
#include "veskar/control/texts.hpp"

#include <boost/json/parse.hpp>

namespace veskar::test {
namespace {

namespace bj = boost::json;

class ControlClientAgainstControl : public LoginAgainstControl {
 protected:
  ControlClient control{session, *platform::parseURL(baseURL())};

  std::string userToken() {
    auto login = client.post("/v1/auth/login", R"({"method":"password","phone":"+15550100",)"
                                               R"("password":"lab-password"})");
    return std::string(login.json().at("access_token").as_string());
  }
  bj::object authorizeReply(const std::string& token) {
    return client
        .post("/v1/tunnel/authorize",
              R"({"device_key":"K","platform":"macos","device_name":"t","local_routes":[]})", token)
        .json()
        .as_object();
  }
  testsupport::Outcome<AuthorizeResponse> authorize(const std::string& token) {
    return settle(control.authorize(token, "K", {"198.51.100.0/24"}));
  }
};

TEST_F(ControlClientAgainstControl, StatusesOutside2xxAreServerErrorsWithTheirBody) {
  auto token = userToken();
  struct Case {
    unsigned status;
    bj::object fault;
    std::string body;
  };
  const Case cases[] = {
      {401,
       {{"status", 401}, {"body", bj::object{{"code", "token_expired"}}}},
       R"({"code":"token_expired"})"},
      {302, {{"status", 302}, {"body_text", "moved"}}, "moved"},
      {503, {{"status", 503}, {"body_text", ""}}, ""},
  };
  for (const auto& c : cases) {
    auto accountFault = c.fault;
    accountFault["path"] = "/v1/account";
    accountFault["times"] = 1;
    fault(accountFault);
    auto outcome = settle(control.account(token));
    auto error = outcome.errorAs<APIError>();
    ASSERT_TRUE(error) << c.status;
    EXPECT_EQ(error->which(), APIErrorCase::server);
    EXPECT_EQ(error->status(), c.status);
    EXPECT_EQ(error->body(), c.body);
    EXPECT_EQ(error->localizedDescription(),
              localizedFormat("error.server.format", {std::to_string(c.status), c.body}));
  }
}

TEST_F(ControlClientAgainstControl, ASuccessThatDoesNotDecodeIsADecodingFailure) {
  auto token = userToken();
  fault({{"path", "/v1/account"}, {"status", 204}, {"body_text", ""}, {"times", 1}});
  auto empty = settle(control.account(token));
  ASSERT_TRUE(empty.error);
  EXPECT_FALSE(empty.errorAs<APIError>());

  // A reply without a required member of the configuration fails as a whole.
  for (const char* member : {"mtu", "nodes", "routes", "default_nodes", "node_groups", "dns"}) {
    auto reply = authorizeReply(token);
    reply.at("config").as_object().erase(member);
    fault({{"path", "/v1/tunnel/authorize"}, {"status", 200}, {"body", reply}, {"times", 1}});
    auto outcome = authorize(token);
    auto error = outcome.errorAs<runtime::SystemError>();
    ASSERT_TRUE(error) << member;
    EXPECT_EQ(error->code(), runtime::DecodingError::keyNotFound) << member;
  }
}

TEST_F(ControlClientAgainstControl, OptionalMembersMayBeNullOrMissingAndKeysCamelCase) {
  auto token = userToken();
  auto reply = authorizeReply(token);
  auto& config = reply.at("config").as_object();
  config["paths"] = nullptr;
  config.erase("geoip");
  config.at("nodes").as_array()[0].as_object()["tls_server_name"] = nullptr;
  config.at("nodes").as_array()[1].as_object().erase("tls_server_name");
  // Already camelCase: matched unchanged.
  config["defaultNodes"] = config.at("default_nodes");
  config.erase("default_nodes");
  fault({{"path", "/v1/tunnel/authorize"}, {"status", 200}, {"body", reply}, {"times", 1}});

  auto decoded = authorize(token).get();
  EXPECT_FALSE(decoded.config.paths);
  EXPECT_FALSE(decoded.config.geoip);
  EXPECT_FALSE(decoded.config.nodes[0].tlsServerName);
  EXPECT_EQ(decoded.config.defaultNodes, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(decoded.vpnIpv4, std::string(reply.at("vpn_ipv4").as_string()));

  // An empty node list decodes; refusing it is the login manager's job.
  config["nodes"] = bj::array{};
  fault({{"path", "/v1/tunnel/authorize"}, {"status", 200}, {"body", reply}, {"times", 1}});
  EXPECT_TRUE(authorize(token).get().config.nodes.empty());
}

}  // namespace
}  // namespace veskar::test
