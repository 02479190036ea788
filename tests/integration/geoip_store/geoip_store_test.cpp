// The GeoIP store against the testbed control server over real HTTPS: what it
// downloads, what it refuses, and that a refusal never touches the cache.

#include "flowgate/routing/geoip_store.hpp"
#include "flowgate/routing/geoip_error.hpp"
#include "platform/https_client.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/control/control_process.hpp"
#include "tests/support/control/test_client.hpp"

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <variant>

using namespace flowgate;
using testbed::test::AdminClient;
using testbed::test::ControlProcess;
namespace bj = boost::json;

namespace {

using Result = std::variant<std::uint64_t, runtime::ErrorCode>;

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class GeoIPStoreAgainstControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1);
    store = makeStore(server.directory() / "cache" / "nested");
  }

  std::unique_ptr<GeoIPStore> makeStore(const std::filesystem::path& directory) {
    auto session = std::make_shared<platform::HttpsClient>(io.get_executor());
    return std::make_unique<GeoIPStore>(io.get_executor(), session, directory);
  }

  std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(server.port()); }

  Result update(std::string url = {}) {
    if (url.empty()) url = baseURL();
    std::optional<Result> result;
    runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
      try {
        result = (co_await store->update(url)).version();
      } catch (const runtime::SystemError& e) {
        result = e.code();
      }
    });
    io.restart();
    io.run();
    return *result;
  }

  // The manifest the server publishes for its table (version 4), with changes.
  bj::object manifest() const {
    return bj::parse(readAll(server.directory() / "manifest.json")).as_object();
  }
  void serveManifest(const bj::object& body) {
    admin.post("/admin/faults",
               {{"path", GeoIPStore::manifestPath}, {"status", 200}, {"body", body}});
  }

  std::string cached() const { return readAll(store->cachePath()); }

  ControlProcess server;
  AdminClient admin{server.adminPort()};
  boost::asio::io_context io;
  std::unique_ptr<GeoIPStore> store;
};

}  // namespace

TEST_F(GeoIPStoreAgainstControl, DownloadsOnceThenReusesTheCacheUntilANewVersion) {
  const auto table4 = "/v1/geoip/tables/4.bin";
  EXPECT_EQ(update(), Result(4u));
  EXPECT_EQ(cached(), readAll(server.directory() / "geoip.bin"));
  EXPECT_EQ(admin.count(table4), 1u);
  // Nothing but the cache in the folder: the temporary file was renamed.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store->directory()), {}), 1);

  // The same version again, even with another digest and location: no download.
  EXPECT_EQ(update(), Result(4u));
  auto moved = manifest();
  moved["sha256"] = bj::string(64, '0');
  moved["url"] = "/elsewhere.bin";
  serveManifest(moved);
  EXPECT_EQ(update(), Result(4u));
  EXPECT_EQ(admin.count(table4), 1u);
  EXPECT_EQ(admin.count("/elsewhere.bin"), 0u);

  admin.post("/admin/faults/clear", bj::object{});
  admin.post("/admin/geoip", {{"version", 5}});
  EXPECT_EQ(update(), Result(5u));
  EXPECT_EQ(GeoIPStore::decode(
                std::span(reinterpret_cast<const std::uint8_t*>(cached().data()), cached().size()))
                .version(),
            5u);
  EXPECT_EQ(admin.count("/v1/geoip/tables/5.bin"), 1u);
}

TEST_F(GeoIPStoreAgainstControl, EveryRefusalLeavesTheCacheAsItWas) {
  ASSERT_EQ(update(), Result(4u));
  const auto before = cached();
  const auto size = manifest().at("size_bytes").as_int64();
  auto changed = [&](const char* key, bj::value value) {
    auto body = manifest();
    body["version"] = 5;  // another version, so the cache is not reused
    body[key] = std::move(value);
    return body;
  };
  auto upper = manifest().at("sha256").as_string();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  struct Case {
    const char* what;
    std::optional<bj::object> manifestBody;  // served instead of the real one
    std::optional<unsigned> manifestStatus;
    runtime::ErrorCode expected;
  };
  const Case cases[] = {
      {"wrong digest", changed("sha256", bj::string(64, 'a')), {}, GeoIPError::checksumMismatch},
      {"digest in upper case", changed("sha256", upper), {}, GeoIPError::checksumMismatch},
      {"body shorter than announced", changed("size_bytes", size + 1), {}, GeoIPError::unavailable},
      {"body longer than announced", changed("size_bytes", size - 1), {}, GeoIPError::unavailable},
      {"header version differs", changed("version", 5), {}, GeoIPError::invalidFormat},
      {"table missing", changed("url", "/v1/geoip/tables/77.bin"), {}, GeoIPError::unavailable},
      {"url does not resolve", changed("url", ""), {}, GeoIPError::unavailable},
      {"manifest 404", {}, 404u, GeoIPError::unavailable},
      {"manifest without a key",
       bj::object{{"version", 5}},
       {},
       runtime::DecodingError::keyNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    admin.post("/admin/faults/clear", bj::object{});
    if (c.manifestBody) serveManifest(*c.manifestBody);
    if (c.manifestStatus) {
      admin.post("/admin/faults", {{"path", GeoIPStore::manifestPath},
                                   {"status", *c.manifestStatus},
                                   {"body", {{"code", "geoip_unavailable"}}}});
    }
    EXPECT_EQ(update(), Result(c.expected));
    EXPECT_EQ(cached(), before);
  }

  admin.post("/admin/faults/clear", bj::object{});
  EXPECT_EQ(update("not a url"), Result(runtime::ErrorCode(GeoIPError::unavailable)));
  // A transport failure is passed on as it is.
  EXPECT_EQ(update("https://127.0.0.1:1"),
            Result(runtime::ErrorCode(boost::asio::error::connection_refused)));
  EXPECT_EQ(cached(), before);
}

TEST_F(GeoIPStoreAgainstControl, AnUnwritableFolderPassesTheWriteErrorOn) {
  // A file where a folder should be: the folder cannot be created, the cache
  // cannot be written, and the error is the file system's.
  const auto blocker = server.directory() / "blocker";
  std::ofstream(blocker) << "x";
  store = makeStore(blocker / "Veskar");
  EXPECT_EQ(update(), Result(runtime::ErrorCode(ENOTDIR, boost::system::system_category())));
}
