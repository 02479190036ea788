#pragma once

// The window and its screens: the QML engine with the shell and the two
// screens' view models, and the shell's requests to hide, show and quit.

#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"

#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace veskar::ui {

class AppWindow {
 public:
  static constexpr int width = 400;
  static constexpr int height = 760;

  // Without `startAtLogin` the main screen offers no such choice.
  AppWindow(AppShell& shell, LoginViewModel& loginModel, MainViewModel& mainModel,
            QObject* startAtLogin = nullptr);

  // Null when the screens failed to load.
  QQuickWindow* window() const { return window_; }

 private:
  QQmlApplicationEngine engine_;
  QQuickWindow* window_ = nullptr;
};

}  // namespace veskar::ui
