// The desktop program against the lab: the daemon in the client namespace,
// the lab's control server and relays; the program's own core signs in,
// connects, lists the paths with their first-hop delays, reads the traffic
// and disconnects, photographing the screens in English and Chinese; and it
// follows a daemon killed and restarted under it, as `veskarctl nodes
// --watch` does.

#include "tests/support/process/child_process.hpp"
#include "tests/support/tunnel/lab_daemon.hpp"
#include "tests/support/tunnel/lab_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

namespace labtest {
namespace {

using namespace std::chrono_literals;

class AppInLab : public testsupport::LabDaemonTest {
 protected:
  AppInLab() : LabDaemonTest("veskar-app") {}

  // The environment of the app and veskarctl: one user's home, the lab's CA.
  std::string environment() const {
    auto home = home_.path().string();
    return "env HOME=" + home + " XDG_CONFIG_HOME=" + home + "/config XDG_DATA_HOME=" + home +
           "/data XDG_RUNTIME_DIR=" + home +
           " SSL_CERT_FILE=/run/veskar-lab/pki/control-ca.pem VESKAR_SOCKET=" + socket_.string();
  }
};

// Whether a line of `--json nodes --watch` says the service runs and the
// tunnel is connected.
std::pair<bool, bool> watched(const std::string& line) {
  return {line.find("\"serviceRunning\":true") != std::string::npos,
          line.find("\"connected\":true") != std::string::npos};
}

TEST_F(AppInLab, AKilledDaemonShowsAsStoppedAndItsReturnAsItsTrueStatus) {
  testsupport::ChildProcess app({"/bin/sh", "-c",
                                 "printf '%s\\n' lab-password | ip netns exec vkl-client " +
                                     environment() + " " SCREEN_TOUR_BIN " --follow"},
                                testsupport::ChildProcess::Output::combined);
  auto is = [](const char* text) {
    return [text](const std::string& line) { return line == text; };
  };
  ASSERT_NO_THROW(app.waitForLine(is("follow: connected"), 90s)) << app.output();
  testsupport::ChildProcess watch(
      {"/bin/sh", "-c",
       "ip netns exec vkl-client " + environment() + " " VESKARCTL_BIN " --json nodes --watch"});
  ASSERT_NO_THROW(watch.waitForLine([](const auto& line) { return watched(line).second; }, 20s))
      << watch.output();

  // No event comes from a killed daemon: only its socket closes.
  ASSERT_TRUE(daemon_->stop(SIGKILL, 5s));
  EXPECT_NO_THROW(app.waitForLine(is("state: stopped"), 2s)) << app.output();
  EXPECT_NO_THROW(watch.waitForLine([](const auto& line) { return !watched(line).first; }, 2s))
      << watch.output();

  // Restarted, it cleans up and reconnects what was running: both show what
  // the daemon itself says, once it settles.
  ASSERT_NO_THROW(daemon_ = testsupport::startLabDaemon(socket_, home_ / "daemon"));
  std::string appState = "stopped";
  std::pair<bool, bool> watcherState{false, false};
  auto deadline = std::chrono::steady_clock::now() + 60s;
  for (;;) {
    while (auto line = app.readLineWithin(100ms)) {
      if (line->rfind("state: ", 0) == 0) appState = line->substr(7);
    }
    while (auto line = watch.readLineWithin(100ms)) {
      if (line->find("serviceRunning") != std::string::npos) watcherState = watched(*line);
    }
    auto status = inClient(environment() + " " VESKARCTL_BIN " status --json").output;
    bool connected = status.find("\"tunnel\":\"connected\"") != std::string::npos;
    bool settled = connected || status.find("\"tunnel\":\"disconnected\"") != std::string::npos;
    if (settled && appState == (connected ? "connected" : "disconnected") &&
        watcherState == std::pair{true, connected}) {
      break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << status << "\n"
                                                          << app.output() << "\n"
                                                          << watch.output() << daemon_->output();
  }
  watch.terminate();
  app.terminate();
}

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
