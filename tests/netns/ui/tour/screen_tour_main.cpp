// veskar-screen-tour: the desktop program's core and window, taken through
// sign-in, connect, the node list and disconnect in each language given,
// photographing the screens. Ends with the line "tour: ok" (exit status
// 0) or "tour: failed" after the problems.
//
//   veskar-screen-tour DIRECTORY LANGUAGE...   (the password on stdin)

#include "tests/support/ui/screen_tour.hpp"
#include "veskar/ui/app_core.hpp"
#include "veskar/ui/qt_executor.hpp"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: veskar-screen-tour DIRECTORY LANGUAGE... < password\n";
    return 2;
  }
  testsupport::tourApplication();
  std::string password;
  std::getline(std::cin, password);

  veskar::ui::QtMainExecutor main;
  auto core = veskar::ui::AppCore::create(main);
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
