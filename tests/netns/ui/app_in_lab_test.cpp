// The desktop program against the lab: the daemon in the client namespace,
// the lab's control server and relays; the program's own core signs in,
// connects, lists the paths with their first-hop delays, reads the traffic
// and disconnects, photographing the screens in English and Chinese.

#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace labtest {
namespace {

using namespace std::chrono_literals;

class AppInLab : public testsupport::LabDaemonTest {
 protected:
  AppInLab() : LabDaemonTest("veskar-app") {}
};

TEST_F(AppInLab, SignInConnectSeePathsAndTrafficDisconnectInBothLanguages) {
  std::filesystem::create_directories(VESKAR_SCREENSHOT_DIR);
  auto home = home_.path().string();
  // On a real X display (Xvfb) as a desktop would show it; offscreen where
  // there is no Xvfb. Xvfb runs inside the namespace: its abstract socket
  // belongs to the namespace's network.
  std::string display =
      ::system("command -v xvfb-run >/dev/null") == 0
          ? "xvfb-run -a -s '-screen 0 1280x1024x24 -nolisten tcp' env QT_QPA_PLATFORM=xcb "
          : "";
  testsupport::ChildProcess tour(
      {"/bin/sh", "-c",
       "printf '%s\\n' lab-password | ip netns exec vkl-client env HOME=" + home +
           " XDG_CONFIG_HOME=" + home + "/config XDG_DATA_HOME=" + home +
           "/data XDG_RUNTIME_DIR=" + home +
           " SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem VESKAR_SOCKET=" + socket_.string() +
           " " + display + SCREEN_TOUR_BIN " " VESKAR_SCREENSHOT_DIR " en_US zh_CN"},
      testsupport::ChildProcess::Output::combined);
  // Paths exist once traffic uses them: keep fetching through the tunnel
  // (failing while it is down) until the tour ends.
  std::vector<std::string> echoes;
  auto deadline = std::chrono::steady_clock::now() + 240s;
  for (;;) {
    try {
      if (!tour.readLine(std::chrono::steady_clock::now() + 500ms)) break;
    } catch (const std::exception&) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << tour.output();
      auto echo = inClient("curl -sS --max-time 2 http://203.0.113.80/ 2>/dev/null").output;
      while (!echo.empty() && std::isspace(static_cast<unsigned char>(echo.back())))
        echo.pop_back();
      echoes.push_back(echo);
    }
  }
  EXPECT_NE(tour.output().find("tour: ok"), std::string::npos)
      << tour.output() << daemon_->output();
  // While connected the echo server saw the exit's address.
  EXPECT_NE(std::find(echoes.begin(), echoes.end(), "203.0.113.1"), echoes.end());
  for (const char* name : {"signin", "main_disconnected", "main_connected"}) {
    for (const char* language : {"en_US", "zh_CN"}) {
      auto path = std::filesystem::path(VESKAR_SCREENSHOT_DIR) /
                  (std::string(name) + "_" + language + ".png");
      EXPECT_TRUE(std::filesystem::exists(path)) << path;
    }
  }
}

}  // namespace
}  // namespace labtest
