#pragma once

// A walk through the application's window as a user takes it, photographing
// each screen: the sign-in screen, signing in, the main screen disconnected,
// connecting, the node list, disconnecting, signing out. The window and its
// view models are the program's own; the core is whatever the caller built
// (doubles or the real daemon). Runs in the Qt event loop of the caller's
// QGuiApplication, rendered without a display.

#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"

#include <QGuiApplication>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace testsupport {

struct ScreenTour {
  runtime::Executor executor;
  std::shared_ptr<runtime::Clock> clock;
  std::shared_ptr<veskar::LoginManager> loginManager;
  std::shared_ptr<veskar::VPNManager> vpnManager;
  QString regionCode = QStringLiteral("US");  // the picker's country
  QString nationalNumber = QStringLiteral("5550100");
  QString password = QStringLiteral("lab-password");
  QString directory;  // where the pictures go, created when missing
};

// The application object for a tour: offscreen and software-rendered unless
// the environment says otherwise. Call before anything else of Qt.
QGuiApplication& tourApplication();

// Takes the tour in `language` ("en_US", "zh_CN"), writing
// signin_<language>.png, main_disconnected_<language>.png and
// main_connected_<language>.png. What went wrong, or nothing.
QStringList takeScreenTour(const ScreenTour& tour, const QString& language);

// How the failures are staged on the tour's tunnel host and account.
struct FailureStage {
  std::function<void(bool reachable)> setDaemonReachable;
  std::function<void(bool refuse)> setPermissionRefused;
  std::function<void()> expireSession;
};

// The failures as the user meets them, in `language`: the country picker
// open, a wrong password, the daemon gone, permission refused, the session
// expired (signin_picker, signin_wrong_password, main_service_stopped,
// main_permission, signin_session_expired). Starts and ends signed out.
QStringList takeFailureTour(const ScreenTour& tour, const QString& language,
                            const FailureStage& stage);

// What is wrong with a written picture: not the window's size, or plain.
QString checkScreenshot(const QString& path);

}  // namespace testsupport
