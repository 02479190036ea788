#pragma once

// One Qt application object for a whole test program (Qt allows one per
// process), without a display.

#include <QCoreApplication>

#include <cstdlib>

namespace testsupport {

inline QCoreApplication& testApplication() {
  static int argc = 1;
  static char name[] = "test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QCoreApplication(argc, argv);
  }();
  return *application;
}

}  // namespace testsupport
