#include "platform/https_client.hpp"
#include "platform/http_error.hpp"
#include "platform/url.hpp"
#include "test_pki.hpp"
#include "test_server.hpp"

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/http/error.hpp>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpsClient;
using runtime::Task;
using testserver::Request;
using testserver::Response;
using testserver::Server;

namespace {

std::filesystem::path labDirectory;
std::optional<testpki::Authority> trustedAuthority;

class HttpsClientTest : public ::testing::Test {
 protected:
  // The client trusts exactly one throwaway authority: the system store is
  // replaced through the variables OpenSSL reads for it.
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/veskar-https-XXXXXX";
    labDirectory = mkdtemp(pattern);
    trustedAuthority.emplace("Veskar Test Root");
    std::ofstream(labDirectory / "ca.pem") << trustedAuthority->certificatePem();
    setenv("SSL_CERT_FILE", (labDirectory / "ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", labDirectory.c_str(), 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(labDirectory); }

  static testpki::Credential localCredential() {
    return trustedAuthority->issue({"localhost"}, {"127.0.0.1"});
  }

  template <class T>
  T run(Task<T> task) {
    std::optional<T> result;
    std::exception_ptr error;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
      if (e) {
        error = e;
      } else {
        result.emplace(std::move(value));
      }
      io.stop();
    });
    io.restart();
    io.run();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }

  HttpResponse fetch(HttpsClient& client, HttpRequest request) {
    return run(client.send(std::move(request)));
  }

  runtime::ErrorCode failureOf(HttpsClient& client, HttpRequest request) {
    try {
      fetch(client, std::move(request));
    } catch (const runtime::SystemError& e) {
      return e.code();
    }
    ADD_FAILURE() << "the request succeeded";
    return {};
  }

  static boost::urls::url urlOf(const char* host, const Server& server, const char* path = "/") {
    return *platform::parseURL("https://" + std::string(host) + ":" +
                               std::to_string(server.port()) + path);
  }

  static HttpRequest get(boost::urls::url url) {
    HttpRequest request;
    request.url = std::move(url);
    return request;
  }

  static bool isVerificationFailure(const runtime::ErrorCode& code) {
    return code.category() == asio::error::get_ssl_category() &&
           code.message().find("certificate verify failed") != std::string::npos;
  }

  asio::io_context io;
};

TEST_F(HttpsClientTest, GetSendsHeadersAndReturnsStatusHeadersAndBody) {
  Server server(io, localCredential(), [](const Request&, const auto&) {
    Response response = testserver::reply(200, "{\"remaining_bytes\":5}");
    response.set("X-Reply", "yes");
    response.set(http::field::content_type, "application/json");
    return response;
  });
  HttpsClient client(io.get_executor());
  HttpRequest request = get(urlOf("localhost", server, "/v1/account?verbose=1"));
  request.headers = {{"Authorization", "Bearer abc"}, {"X-Trace", "7"}};

  HttpResponse response = fetch(client, std::move(request));

  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.body, "{\"remaining_bytes\":5}");
  EXPECT_EQ(response.header("x-reply"), "yes");
  EXPECT_EQ(response.header("Content-Type"), "application/json");
  EXPECT_FALSE(response.header("Location"));
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method(), http::verb::get);
  EXPECT_EQ(seen[0].target(), "/v1/account?verbose=1");
  EXPECT_EQ(seen[0][http::field::host], "localhost:" + std::to_string(server.port()));
  EXPECT_EQ(seen[0][http::field::authorization], "Bearer abc");
  EXPECT_EQ(seen[0]["X-Trace"], "7");
  EXPECT_TRUE(seen[0].body().empty());
}

TEST_F(HttpsClientTest, PostCarriesBinaryBodiesBothWays) {
  std::string payload;
  for (int i = 0; i < 300000; ++i) payload.push_back(static_cast<char>(i % 256));
  Server server(io, localCredential(), [](const Request& request, const auto&) {
    return testserver::reply(201, request.body());
  });
  HttpsClient client(io.get_executor());
  auto url = platform::appendingPath(urlOf("127.0.0.1", server), "/v1/auth/login");

  HttpResponse response =
      run(client.post(url, {{"Content-Type", "application/json"}}, std::string(payload)));

  EXPECT_EQ(response.status, 201u);
  EXPECT_EQ(response.body, payload);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method(), http::verb::post);
  EXPECT_EQ(seen[0].target(), "/v1/auth/login");
  EXPECT_EQ(seen[0][http::field::content_type], "application/json");
  EXPECT_EQ(seen[0][http::field::content_length], std::to_string(payload.size()));
  EXPECT_EQ(seen[0].body(), payload);
}

TEST_F(HttpsClientTest, StatusesAreAnswersNotErrors) {
  Server server(io, localCredential(), [](const Request& request, const auto&) {
    if (request.target() == "/missing") return testserver::reply(404, "{\"code\":\"not_found\"}");
    if (request.target() == "/empty") return testserver::reply(204, "");
    if (request.target() == "/moved") {
      Response response = testserver::reply(302, "moved");
      response.set(http::field::location, "/elsewhere");
      return response;
    }
    return testserver::reply(500, "boom");
  });
  HttpsClient client(io.get_executor());

  HttpResponse missing = fetch(client, get(urlOf("localhost", server, "/missing")));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.body, "{\"code\":\"not_found\"}");

  HttpResponse failed = fetch(client, get(urlOf("localhost", server, "/fail")));
  EXPECT_EQ(failed.status, 500u);
  EXPECT_EQ(failed.body, "boom");

  HttpResponse empty = fetch(client, get(urlOf("localhost", server, "/empty")));
  EXPECT_EQ(empty.status, 204u);
  EXPECT_TRUE(empty.body.empty());

  // A redirect comes back as it is; nothing asks for /elsewhere.
  HttpResponse moved = fetch(client, get(urlOf("localhost", server, "/moved")));
  EXPECT_EQ(moved.status, 302u);
  EXPECT_EQ(moved.header("location"), "/elsewhere");
  EXPECT_EQ(moved.body, "moved");
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(HttpsClientTest, InterimAnswersAreSkippedForTheFinalOne) {
  Server server(io, localCredential(),
                [](const Request&, const auto&) { return testserver::reply(200, "final"); });
  server.sendInterimFirst(103);
  HttpsClient client(io.get_executor());

  HttpResponse response = fetch(client, get(urlOf("localhost", server)));

  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(response.body, "final");
  EXPECT_FALSE(response.header("Link"));
}

// Requests from many threads at once share one client; each gets its own answer.
TEST_F(HttpsClientTest, ConcurrentRequestsOnAThreadPool) {
  Server server(io, localCredential(), [](const Request& request, const auto&) {
    return testserver::reply(200, std::string(request.target()));
  });
  auto work = asio::make_work_guard(io);
  std::thread serverThread([this] { io.run(); });
  asio::thread_pool pool(4);
  HttpsClient client(pool.get_executor());

  std::vector<std::future<HttpResponse>> answers;
  for (int i = 0; i < 16; ++i) {
    answers.push_back(asio::co_spawn(
        pool, client.get(urlOf("localhost", server, ("/n/" + std::to_string(i)).c_str())),
        asio::use_future));
  }
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(answers[i].get().body, "/n/" + std::to_string(i));
  }
  pool.join();
  work.reset();
  io.stop();
  serverThread.join();
}

TEST_F(HttpsClientTest, ServerThatNeverAnswersTimesOut) {
  Server server(io, localCredential(),
                [](const Request&, const auto&) -> std::optional<Response> { return {}; });
  HttpsClient client(io.get_executor());
  HttpRequest request = get(urlOf("localhost", server));
  request.timeout = std::chrono::milliseconds(300);

  EXPECT_EQ(failureOf(client, std::move(request)), asio::error::timed_out);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpsClientTest, HandshakeThatNeverCompletesTimesOut) {
  Server silent(io);
  HttpsClient client(io.get_executor());
  HttpRequest request = get(urlOf("127.0.0.1", silent));
  request.timeout = std::chrono::milliseconds(300);

  EXPECT_EQ(failureOf(client, std::move(request)), asio::error::timed_out);
}

TEST_F(HttpsClientTest, CancellationEndsAPendingRequest) {
  Server server(io, localCredential(),
                [](const Request&, const auto&) -> std::optional<Response> { return {}; });
  HttpsClient client(io.get_executor());
  auto cancel = std::make_shared<runtime::CancelState>();
  HttpRequest request = get(urlOf("localhost", server));
  request.cancel = runtime::CancelToken(cancel);
  asio::steady_timer timer(io, std::chrono::milliseconds(100));
  timer.async_wait([cancel](boost::system::error_code) { cancel->cancel(); });

  EXPECT_THROW(fetch(client, std::move(request)), runtime::CancellationError);
}

TEST_F(HttpsClientTest, KnownAddressesAreUsedWithoutALookupAndTheNameIsStillVerified) {
  // A name no resolver knows: only the known address can reach the server.
  Server server(io, trustedAuthority->issue({"control.invalid"}, {}),
                [](const Request&, const auto&) { return testserver::reply(200, "ok"); });
  platform::HttpsClientOptions options;
  options.knownAddresses["control.invalid"] = {"not-an-address", "127.0.0.1"};
  options.knownAddresses["localhost"] = {"127.0.0.1"};
  HttpsClient client(io.get_executor(), options);

  EXPECT_EQ(fetch(client, get(urlOf("control.invalid", server))).body, "ok");
  // The certificate must still name the host of the URL.
  EXPECT_TRUE(isVerificationFailure(failureOf(client, get(urlOf("localhost", server)))));
}

TEST_F(HttpsClientTest, CertificateFromAnUnknownAuthorityIsRefused) {
  testpki::Authority stranger("Unknown Root");
  Server server(io, stranger.issue({"localhost"}, {"127.0.0.1"}),
                [](const Request&, const auto&) { return testserver::reply(200, "secret"); });
  HttpsClient client(io.get_executor());

  EXPECT_TRUE(isVerificationFailure(failureOf(client, get(urlOf("localhost", server)))));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpsClientTest, CertificateForAnotherNameIsRefused) {
  Server server(io, trustedAuthority->issue({"elsewhere.test"}, {"192.0.2.1"}),
                [](const Request&, const auto&) { return testserver::reply(200, "secret"); });
  HttpsClient client(io.get_executor());

  EXPECT_TRUE(isVerificationFailure(failureOf(client, get(urlOf("localhost", server)))));
  EXPECT_TRUE(isVerificationFailure(failureOf(client, get(urlOf("127.0.0.1", server)))));
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpsClientTest, BodiesOverTheLimitAreRefused) {
  Server server(io, localCredential(), [](const Request& request, const auto&) {
    std::size_t size = request.target() == "/at-limit" ? 1024 : 1025;
    Response response = testserver::reply(200, std::string(size, 'x'));
    if (request.target() == "/chunked") response.chunked(true);
    return response;
  });
  HttpsClient client(io.get_executor(), {.firewallMark = std::nullopt, .maxBodySize = 1024});

  EXPECT_EQ(fetch(client, get(urlOf("localhost", server, "/at-limit"))).body.size(), 1024u);
  EXPECT_EQ(failureOf(client, get(urlOf("localhost", server, "/over"))), http::error::body_limit);
  EXPECT_EQ(failureOf(client, get(urlOf("localhost", server, "/chunked"))),
            http::error::body_limit);

  // A request's own limit lowers the client's, never raises it.
  auto limited = [&](const char* path, std::size_t limit) {
    auto request = get(urlOf("localhost", server, path));
    request.maxBodySize = limit;
    return request;
  };
  EXPECT_EQ(failureOf(client, limited("/at-limit", 1023)), http::error::body_limit);
  EXPECT_EQ(fetch(client, limited("/at-limit", 1024)).body.size(), 1024u);
  EXPECT_EQ(failureOf(client, limited("/over", 4096)), http::error::body_limit);
}

TEST_F(HttpsClientTest, RequestsThatCannotBeSentSafelyAreRefusedBeforeConnecting) {
  Server server(io, localCredential(),
                [](const Request&, const auto&) { return testserver::reply(200, "ok"); });
  HttpsClient client(io.get_executor());

  HttpRequest plain =
      get(*platform::parseURL("http://localhost:" + std::to_string(server.port()) + "/"));
  EXPECT_EQ(failureOf(client, std::move(plain)), platform::HttpError::unsupportedURL);

  // A token from a hostile server must not smuggle a header into the request.
  HttpRequest injected = get(urlOf("localhost", server));
  injected.headers = {{"Authorization", "Bearer x\r\nX-Admin: 1"}};
  EXPECT_EQ(failureOf(client, std::move(injected)), platform::HttpError::invalidHeader);

  HttpRequest badName = get(urlOf("localhost", server));
  badName.headers = {{"Bad Name", "1"}};
  EXPECT_EQ(failureOf(client, std::move(badName)), platform::HttpError::invalidHeader);

  // A percent-encoded NUL would cut the name checked against the certificate.
  HttpRequest nul =
      get(*platform::parseURL("https://localhost%00.evil:" + std::to_string(server.port()) + "/"));
  EXPECT_EQ(failureOf(client, std::move(nul)), platform::HttpError::unsupportedURL);

  EXPECT_TRUE(server.requests().empty());
}

// The mark is read back from the kernel's socket table while the request is open.
TEST_F(HttpsClientTest, FirewallMarkIsSetOnTheConnection) {
  if (geteuid() != 0) GTEST_SKIP() << "setting SO_MARK needs CAP_NET_ADMIN";
  std::string socketTable;
  Server server(io, localCredential(), [&](const Request&, const auto& peer) {
    std::string command =
        "ss -tHne state established '( sport = :" + std::to_string(peer.port()) + " )' 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char line[512];
      while (fgets(line, sizeof line, pipe)) socketTable += line;
      pclose(pipe);
    }
    return testserver::reply(200, "ok");
  });
  HttpsClient client(io.get_executor(), {.firewallMark = 0x5eed});

  EXPECT_EQ(fetch(client, get(urlOf("localhost", server))).status, 200u);
  if (socketTable.empty()) GTEST_SKIP() << "ss is not available";
  EXPECT_NE(socketTable.find("fwmark:0x5eed"), std::string::npos) << socketTable;
}

}  // namespace
