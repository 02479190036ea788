// The trust store against the testbed control server over real HTTPS.

#include "flowgate/control/trust_store.hpp"
#include "platform/https_client.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/control/control_process.hpp"
#include "tests/support/control/test_client.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <cstdlib>
#include <variant>

using namespace flowgate;
using testbed::test::AdminClient;
using testbed::test::ControlProcess;
namespace asio = boost::asio;

namespace {

using Result = std::variant<std::uint64_t, runtime::ErrorCode>;
Result error(TrustStoreError e) { return runtime::ErrorCode(e); }

class TrustStoreAgainstControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1);
    directory = server.directory() / "defaults";
    defaults = std::make_shared<platform::UserDefaults>(directory, "flowgate");
    store = makeStore();
  }

  std::unique_ptr<TrustStore> makeStore() {
    auto session = std::make_shared<platform::HttpsClient>(io.get_executor());
    return std::make_unique<TrustStore>(io.get_executor(), session, defaults);
  }

  Result load(std::string url = {}) {
    if (url.empty()) url = "https://127.0.0.1:" + std::to_string(server.port());
    std::optional<Result> result;
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        result = (co_await store->load(url)).version;
      } catch (const runtime::SystemError& e) {
        result = e.code();
      }
    });
    io.restart();
    io.run();
    return *result;
  }

  std::string stored() const { return defaults->data(TrustStore::defaultsKey).value_or(""); }

  ControlProcess server;
  AdminClient admin{server.adminPort()};
  asio::io_context io;
  std::filesystem::path directory;
  std::shared_ptr<platform::UserDefaults> defaults;
  std::unique_ptr<TrustStore> store;
};

}  // namespace

TEST_F(TrustStoreAgainstControl, StoresThenRefusesAnOlderVersion) {
  EXPECT_EQ(load(), Result(3u));
  auto first = stored();
  EXPECT_NE(first.find("node_tls_ca_certificates"), std::string::npos);

  admin.post("/admin/trust-bundle", {{"version", 2}});
  EXPECT_EQ(load(), error(TrustStoreError::rollback));
  EXPECT_EQ(stored(), first);

  admin.post("/admin/trust-bundle", {{"version", 3}});
  EXPECT_EQ(load(), Result(3u));
  admin.post("/admin/trust-bundle", {{"version", 4}});
  EXPECT_EQ(load(), Result(4u));
  EXPECT_EQ(admin.count("/v1/trust-bundle"), 4u);
}

TEST_F(TrustStoreAgainstControl, AnUnreachableServerServesTheStoredBundle) {
  // Nothing stored yet: unavailable.
  EXPECT_EQ(load("https://127.0.0.1:1"), error(TrustStoreError::unavailable));
  EXPECT_EQ(load(), Result(3u));
  EXPECT_EQ(load("https://127.0.0.1:1"), Result(3u));
}

TEST_F(TrustStoreAgainstControl, A404WithAValidLookingBodyIsAFailedDownload) {
  EXPECT_EQ(load(), Result(3u));
  admin.post("/admin/trust-bundle", {{"version", 9}});
  auto newer = boost::json::parse(
      testbed::test::HttpsClient(server.port(), server.controlCA()).get("/v1/trust-bundle").body);
  admin.post("/admin/faults", {{"path", "/v1/trust-bundle"}, {"status", 404}, {"body", newer}});
  EXPECT_EQ(load(), Result(3u));
  EXPECT_EQ(stored().find("\"version\":9"), std::string::npos);
}

TEST_F(TrustStoreAgainstControl, OneBadCertificateEntryInvalidatesTheBundle) {
  EXPECT_EQ(load(), Result(3u));
  auto bundle = boost::json::parse(testbed::test::HttpsClient(server.port(), server.controlCA())
                                       .get("/v1/trust-bundle")
                                       .body)
                    .as_object();
  bundle["version"] = 5;
  bundle["node_tls_ca_certificates"].as_array().push_back(
      "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----");
  admin.post("/admin/faults", {{"path", "/v1/trust-bundle"}, {"status", 200}, {"body", bundle}});
  EXPECT_EQ(load(), Result(3u));

  // With nothing stored, the bad bundle's failure leaves nothing to fall back on.
  defaults->remove(TrustStore::defaultsKey);
  EXPECT_EQ(load(), error(TrustStoreError::unavailable));
}
