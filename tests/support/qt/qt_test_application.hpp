#pragma once

// One Qt application object for a whole test program (Qt allows one per
// process), without a display. A widgets application, so the tray can be built.

#include <QApplication>

#include <cstdlib>

namespace testsupport {

inline QCoreApplication& testApplication() {
  static int argc = 1;
  static char name[] = "test";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *application;
}

}  // namespace testsupport
