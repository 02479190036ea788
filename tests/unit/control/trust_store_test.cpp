#include "flowgate/control/trust_store.hpp"
#include "platform/fake_http_client.hpp"
#include "runtime/json_codec.hpp"
#include "test_certificate.hpp"
#include "tests/support/async/run_task.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include <filesystem>

using namespace flowgate;
namespace asio = boost::asio;

namespace {

std::string bundleJSON(std::uint64_t version) {
  return R"({"version":)" + std::to_string(version) +
         R"(,"issued_at":"2026-12-01T00:00:00Z","node_tls_ca_certificates":[")" + kBody +
         R"("],"device_credential_keys":[{"key_id":"k","algorithm":"ed25519","public_key":"AA",
            "not_before":"a","not_after":"b"}]})";
}

class TrustStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults = std::make_shared<platform::UserDefaults>(directory, "flowgate");
    http = std::make_shared<platform::FakeHttpClient>(platform::FakeHttpClient::replying(
        [this](const platform::HttpRequest&) -> platform::HttpResponse {
          if (unreachable) throw runtime::SystemError(asio::error::connection_refused);
          return {status, {}, body};
        }));
    store = std::make_unique<TrustStore>(io.get_executor(), http, defaults);
  }

  // The bundle's version, or the error code `load` threw.
  std::variant<std::uint64_t, runtime::ErrorCode> load(std::string url = "https://control.test") {
    std::variant<std::uint64_t, runtime::ErrorCode> result;
    try {
      result = testsupport::runTask(io, store->load(url)).version;
    } catch (const runtime::SystemError& e) {
      result = e.code();
    }
    return result;
  }

  asio::io_context io;
  testsupport::TemporaryDirectory temporary{"trust-store"};
  std::filesystem::path directory = temporary / "defaults";
  std::shared_ptr<platform::UserDefaults> defaults;
  std::shared_ptr<platform::FakeHttpClient> http;
  std::unique_ptr<TrustStore> store;
  unsigned status = 200;
  std::string body;
  bool unreachable = false;
};

using Result = std::variant<std::uint64_t, runtime::ErrorCode>;
Result error(TrustStoreError e) { return runtime::ErrorCode(e); }

}  // namespace

TEST_F(TrustStoreTest, FirstLoadStoresTheBodyAsReceived) {
  body = bundleJSON(7);
  EXPECT_EQ(load(), Result(7u));
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), body);
  ASSERT_EQ(http->requests().size(), 1u);
  EXPECT_EQ(http->requests()[0].url.buffer(), "https://control.test/v1/trust-bundle");
  EXPECT_TRUE(http->requests()[0].headers.empty());
}

TEST_F(TrustStoreTest, VersionsOnlyMoveForward) {
  body = bundleJSON(7);
  load();
  body = bundleJSON(6);
  EXPECT_EQ(load(), error(TrustStoreError::rollback));
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), bundleJSON(7));
  body = bundleJSON(7) + " ";
  EXPECT_EQ(load(), Result(7u));  // an equal version is stored again
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), body);
  body = bundleJSON(8);
  EXPECT_EQ(load(), Result(8u));
}

TEST_F(TrustStoreTest, FailedDownloadsFallBackToTheStoredBundle) {
  unreachable = true;
  EXPECT_EQ(load(), error(TrustStoreError::unavailable));
  unreachable = false;
  body = bundleJSON(5);
  load();
  unreachable = true;
  EXPECT_EQ(load(), Result(5u));
  unreachable = false;
  status = 404;  // a valid-looking body does not count without a 200
  body = bundleJSON(9);
  EXPECT_EQ(load(), Result(5u));
  status = 200;
  body = bundleJSON(0);
  EXPECT_EQ(load(), Result(5u));
  body = "{";
  EXPECT_EQ(load(), Result(5u));
  EXPECT_EQ(load("not a url"), Result(5u));
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), bundleJSON(5));
}

TEST_F(TrustStoreTest, AnUnreadableStoredBundleNeitherBlocksNorServes) {
  defaults->setData(TrustStore::defaultsKey, "garbage");
  body = bundleJSON(2);
  EXPECT_EQ(load(), Result(2u));
  defaults->setData(TrustStore::defaultsKey, bundleJSON(0));
  unreachable = true;
  EXPECT_EQ(load(), error(TrustStoreError::invalidBundle));
}

TEST_F(TrustStoreTest, ADownloadedBundleIsTheAnswerEvenWhenItCannotBeKept) {
  body = bundleJSON(5);
  load();
  // A directory where the writer's lock file goes: every write fails from now on.
  std::filesystem::remove(directory / "flowgate.lock");
  std::filesystem::create_directory(directory / "flowgate.lock");
  body = bundleJSON(7);
  EXPECT_EQ(load(), Result(7u));
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), bundleJSON(5));
}

TEST_F(TrustStoreTest, ALoadOutlivesItsStore) {
  body = bundleJSON(3);
  auto pending = store->load("https://control.test");
  store.reset();
  EXPECT_EQ(testsupport::runTask(io, std::move(pending)).version, 3u);
  EXPECT_EQ(defaults->data(TrustStore::defaultsKey), body);
}
