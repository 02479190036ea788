#pragma once

// A login manager of the application against the testbed control server over
// real HTTPS, with its stores in the server's temporary folder and the
// server's faults, expiries and request counters at hand.

#include "platform/https_client.hpp"
#include "platform/url.hpp"
#include "runtime/clock.hpp"
#include "tests/support/async/await_task.hpp"
#include "tests/support/control/control_process.hpp"
#include "tests/support/control/test_client.hpp"
#include "veskar/control/login_manager.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/json/object.hpp>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace veskar::test {

class LoginAgainstControl : public ::testing::Test {
 public:
  void SetUp() override {
    clock->setNow(runtime::Date::from(std::chrono::system_clock::now()));
    manager = makeManager();
    admin.post("/admin/counts/reset", boost::json::object{});
  }

  SharedStore makeStore() const {
    return SharedStore(
        std::make_shared<platform::FileSecretStore>(server.directory() / "app" / "secrets",
                                                    platform::sharedAccessGroup()),
        std::make_shared<platform::UserDefaults>(server.directory() / "app", "veskar"));
  }
  // A manager as a fresh launch of the application makes it.
  std::shared_ptr<LoginManager> makeManager() {
    LoginManagerOptions options;
    options.baseURL = *platform::parseURL(baseURL());
    options.refreshLockPath = server.directory() / "app" / "refresh.lock";
    options.clock = clock;
    return LoginManager::create(io.get_executor(), session, makeStore(), options);
  }
  std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(server.port()); }

  template <class T>
  testsupport::Outcome<T> settle(runtime::Task<T> task) {
    return testsupport::settle(io, std::move(task));
  }
  void signIn() {
    ASSERT_TRUE(settle(manager->login(testbed::test::labPhone, testbed::test::labPassword)).get());
    admin.post("/admin/counts/reset", boost::json::object{});
  }
  // Keeps the stored pair but makes its access token expire `seconds` from now.
  void storeExpiry(double seconds) {
    auto tokens = *store.tokens();
    tokens.accessExpiresAt = clock->now().adding(seconds);
    store.saveTokens(tokens);
  }
  std::uint64_t count(const std::string& path) const { return admin.count(path); }
  void fault(boost::json::object fault) { admin.post("/admin/faults", fault); }

  testbed::test::ControlProcess server;
  testbed::test::HttpsClient client{server.port(), server.controlCA()};
  testbed::test::AdminClient admin{server.adminPort()};
  boost::asio::io_context io;
  // Before the session: it reads the trust store when it is made.
  bool trustsServer = ::setenv("SSL_CERT_FILE", server.controlCA().c_str(), 1) == 0;
  std::shared_ptr<platform::HttpClient> session =
      std::make_shared<platform::HttpsClient>(io.get_executor());
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  SharedStore store = makeStore();
  std::shared_ptr<LoginManager> manager;
};

}  // namespace veskar::test
