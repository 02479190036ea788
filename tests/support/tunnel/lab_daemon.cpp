#include "tests/support/tunnel/lab_daemon.hpp"

#include "tests/support/lab/lab_fixture.hpp"
#include "tests/support/tunnel/namespace_command.hpp"

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

using namespace std::chrono_literals;

std::string mintStartOptions(const std::filesystem::path& folder) {
  auto minted =
      labtest::run(std::string("ip netns exec ") + kLabClientNamespace + " " +
                   MINT_START_OPTIONS_BIN " --base-url https://control.lab.example --ca " +
                   kLabControlCA + " --out " + folder.string());
  auto at = minted.output.find("device_key ");
  if (minted.status != 0 || at == std::string::npos)
    throw std::runtime_error("minting start options failed: " + minted.output);
  auto key = minted.output.substr(at + 11);
  while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back()))) key.pop_back();
  return key;
}

bool socketAccepts(const std::filesystem::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.native().copy(address.sun_path, sizeof address.sun_path - 1);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::unique_ptr<ChildProcess> startLabDaemon(const std::filesystem::path& socket,
                                             const std::filesystem::path& dataDirectory,
                                             std::vector<std::string> extraArguments) {
  std::vector<std::string> command{"env",        std::string("SSL_CERT_FILE=") + kLabControlCA,
                                   FLOWGATE_BIN, "daemon",
                                   "--socket",   socket.string(),
                                   "--data-dir", dataDirectory.string(),
                                   "--group",    "root"};
  command.insert(command.end(), {"--control-origin", "https://control.lab.example"});
  command.insert(command.end(), extraArguments.begin(), extraArguments.end());
  auto daemon = std::make_unique<ChildProcess>(insideNamespace(kLabClientNamespace, command),
                                               ChildProcess::Output::combined);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!socketAccepts(socket)) {
    if (!daemon->alive() || std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the daemon never listened: " + daemon->output());
    std::this_thread::sleep_for(50ms);
  }
  return daemon;
}

}  // namespace testsupport
