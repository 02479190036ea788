// veskar-screen-tour: the desktop program's core and window, taken through
// sign-in, connect, the node list and disconnect in each language given,
// photographing the screens. Ends with the line "tour: ok" (exit status
// 0) or "tour: failed" after the problems.
//
//   veskar-screen-tour DIRECTORY LANGUAGE...   (the password on stdin)
//
// With --follow it signs in and connects ("follow: connected"), then prints
// "state: stopped|disconnected|reconnecting|connected" at each change of what
// the app shows, until killed.

#include "tests/support/ui/screen_tour.hpp"
#include "veskar/ui/app_core.hpp"
#include "veskar/ui/qt_executor.hpp"

#include "runtime/spawn.hpp"

#include <iostream>
#include <string>

namespace {

const char* shownState(const veskar::VPNManager& vpn) {
  if (!vpn.isServiceReachable()) return "stopped";
  if (vpn.isReconnecting()) return "reconnecting";
  return vpn.isConnected() ? "connected" : "disconnected";
}

runtime::Task<void> signInAndConnect(veskar::ui::AppCore core, std::string password) {
  try {
    co_await core.loginManager->login("+15550100", std::move(password));
    co_await core.vpnManager->initialize(core.loginManager);
    bool connected = co_await core.vpnManager->connect(core.loginManager);
    std::cout << (connected ? "follow: connected" : "follow: failed") << std::endl;
  } catch (const std::exception& e) {
    std::cout << "follow: failed: " << e.what() << std::endl;
  }
}

int follow(const veskar::ui::AppCore& core, std::string password) {
  std::string last;
  core.vpnManager->observers().add([&core, &last] {
    std::string state = shownState(*core.vpnManager);
    if (state == last) return;
    last = state;
    std::cout << "state: " << state << std::endl;
  });
  runtime::spawn(core.executor, signInAndConnect(core, std::move(password)));
  return QGuiApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 && !(argc == 2 && std::string(argv[1]) == "--follow")) {
    std::cerr << "usage: veskar-screen-tour DIRECTORY LANGUAGE... < password\n";
    return 2;
  }
  testsupport::tourApplication();
  std::string password;
  std::getline(std::cin, password);

  veskar::ui::QtMainExecutor main;
  auto core = veskar::ui::AppCore::create(main);
  if (std::string(argv[1]) == "--follow") return follow(core, std::move(password));
  testsupport::ScreenTour tour;
  tour.executor = core.executor;
  tour.clock = core.clock;
  tour.loginManager = core.loginManager;
  tour.vpnManager = core.vpnManager;
  tour.password = QString::fromStdString(password);
  tour.directory = QString::fromLocal8Bit(argv[1]);

  int status = 0;
  for (int i = 2; i < argc; ++i) {
    QStringList problems = testsupport::takeScreenTour(tour, QString::fromLocal8Bit(argv[i]));
    for (const QString& problem : problems)
      std::cerr << argv[i] << ": " << problem.toStdString() << '\n';
    if (!problems.isEmpty()) status = 1;
  }
  std::cout << (status == 0 ? "tour: ok" : "tour: failed") << std::endl;
  return status;
}
