// mint-start-options --base-url URL --ca FILE --out DIR [--phone P --password W]
//
// Signs in with the application's own login manager, authorizes the device
// and opens the daemon's session, then writes DIR/bootstrap.json and
// DIR/tokens.json (the JSON `flowgate run` reads) and prints
// "device_key KEY". The application's stores live in DIR/app, so a second run
// with the same DIR is the same device (same key, same tunnel address).

#include "platform/https_client.hpp"
#include "platform/secret_store.hpp"
#include "platform/url.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/json_codec.hpp"
#include "tests/support/async/await_task.hpp"
#include "veskar/control/login_manager.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

runtime::Task<veskar::PreparedTunnel> mint(std::shared_ptr<veskar::LoginManager> manager,
                                           std::string phone, std::string password) {
  if (!manager->isLoggedIn()) {
    auto signedIn = co_await manager->login(std::move(phone), std::move(password));
    if (!signedIn) throw std::runtime_error("sign-in refused");
  }
  co_return co_await manager->prepareTunnel();
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options{{"--phone", "+15550100"},
                                             {"--password", "lab-password"}};
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  if (argc % 2 == 0 || !options.contains("--base-url") || !options.contains("--ca") ||
      !options.contains("--out")) {
    std::cerr << "usage: mint-start-options --base-url URL --ca FILE --out DIR"
                 " [--phone P --password W]\n";
    return 2;
  }
  try {
    // The HTTPS client reads its trust anchors when it is made.
    ::setenv("SSL_CERT_FILE", options["--ca"].c_str(), 1);
    fs::path out = options["--out"];
    fs::create_directories(out / "app");
    auto baseURL = platform::parseURL(options["--base-url"]);
    if (!baseURL) throw std::runtime_error("not a URL: " + options["--base-url"]);

    boost::asio::io_context io;
    veskar::SharedStore store(std::make_shared<platform::FileSecretStore>(
                                  out / "app" / "secrets", platform::sharedAccessGroup()),
                              std::make_shared<platform::UserDefaults>(out / "app", "veskar"));
    veskar::LoginManagerOptions managerOptions;
    managerOptions.baseURL = *baseURL;
    managerOptions.refreshLockPath = out / "app" / "refresh.lock";
    auto manager = veskar::LoginManager::create(
        io.get_executor(), std::make_shared<platform::HttpsClient>(io.get_executor()), store,
        managerOptions);

    auto prepared =
        testsupport::settle(io, mint(manager, options["--phone"], options["--password"])).get();

    writeFile(out / "bootstrap.json", runtime::json::encodeText(prepared.bootstrap));
    writeFile(out / "tokens.json", runtime::json::encodeText(prepared.extensionTokens));
    std::cout << "device_key " << manager->deviceKey() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "mint-start-options: " << e.what() << "\n";
    return 1;
  }
}
