#include "tests/support/ui/screen_tour.hpp"

#include "veskar/ui/app_shell.hpp"
#include "veskar/ui/app_window.hpp"
#include "veskar/ui/login_view_model.hpp"
#include "veskar/ui/main_view_model.hpp"
#include "veskar/ui/phone_country.hpp"
#include "veskar/ui/translations.hpp"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMetaObject>
#include <QQuickItem>
#include <QSet>

#include <cstdlib>
#include <functional>

namespace testsupport {

namespace {

bool processUntil(const std::function<bool()>& done, int milliseconds = 30000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

void settle(int milliseconds) {
  processUntil([] { return false; }, milliseconds);
}

int countryIndex(const QString& regionCode) {
  auto all = veskar::ui::PhoneCountry::all();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (regionCode ==
        QLatin1String(all[i].regionCode.data(), static_cast<qsizetype>(all[i].regionCode.size()))) {
      return static_cast<int>(i);
    }
  }
  return 0;
}

QQuickItem* findComboBox(QQuickItem* item) {
  for (QQuickItem* child : item->childItems()) {
    if (QString::fromLatin1(child->metaObject()->className()).contains(QStringLiteral("ComboBox")))
      return child;
    if (QQuickItem* found = findComboBox(child)) return found;
  }
  return nullptr;
}

// The app's window over a tour's managers, in one language.
struct TourWindow {
  TourWindow(const ScreenTour& of, const QString& in)
      : tour(of),
        language(in),
        locale(in),
        translations(tourApplication(), locale),
        website(QStringLiteral(VESKAR_WEBSITE_BASE_URL)),
        shell(of.executor, of.loginManager, of.vpnManager),
        loginModel({of.executor, of.loginManager, of.clock, website, {}, locale}),
        mainModel({of.executor, of.loginManager, of.vpnManager, of.clock, website, {}, website}),
        window(shell, loginModel, mainModel) {}

  QString picturePath(const QString& name) const {
    return tour.directory + QLatin1Char('/') + name + QLatin1Char('_') + language +
           QStringLiteral(".png");
  }

  const ScreenTour& tour;
  QString language;
  QLocale locale;
  veskar::ui::Translations translations;
  QUrl website;
  veskar::ui::AppShell shell;
  veskar::ui::LoginViewModel loginModel;
  veskar::ui::MainViewModel mainModel;
  veskar::ui::AppWindow window;
};

}  // namespace

QGuiApplication& tourApplication() {
  static int argc = 1;
  static char name[] = "veskar";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* application = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QT_QUICK_BACKEND", "software", 0);  // so the window can be grabbed
    return new QGuiApplication(argc, argv);
  }();
  return *application;
}

QString checkScreenshot(const QString& path) {
  QImage image(path);
  if (image.isNull()) return path + QStringLiteral(": not a picture");
  QSize expected(veskar::ui::AppWindow::width, veskar::ui::AppWindow::height);
  if (image.size() != expected) {
    return path + QStringLiteral(": %1 x %2, not the window's size")
                      .arg(image.width())
                      .arg(image.height());
  }
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 4) {
    for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
  }
  if (colours.size() < 50) return path + QStringLiteral(": looks empty");
  return {};
}

QStringList takeScreenTour(const ScreenTour& tour, const QString& language) {
  QStringList problems;
  QDir().mkpath(tour.directory);
  TourWindow view(tour, language);
  if (!view.window.window()) return {QStringLiteral("the window did not load")};
  QQuickWindow& quickWindow = *view.window.window();
  auto& shell = view.shell;
  auto& loginModel = view.loginModel;
  auto& mainModel = view.mainModel;

  auto capture = [&](const QString& name) {
    settle(300);
    QString path = view.picturePath(name);
    if (!quickWindow.grabWindow().save(path)) {
      problems.append(path + QStringLiteral(": not written"));
      return;
    }
    if (QString problem = checkScreenshot(path); !problem.isEmpty()) problems.append(problem);
  };
  auto expect = [&](bool holds, const char* what) {
    if (!holds) problems.append(QString::fromLatin1(what));
    return holds;
  };

  // A display without a window manager (Xvfb) activates no window by itself,
  // and the node list is polled only in an active window.
  quickWindow.requestActivate();
  expect(processUntil([&] { return quickWindow.isActive(); }), "the window never became active");
  settle(1300);  // the entrance animations
  if (!expect(!shell.isLoggedIn(), "the tour starts signed out")) return problems;
  capture(QStringLiteral("signin"));

  loginModel.setSelectedCountry(countryIndex(tour.regionCode));
  loginModel.setPhoneNumber(tour.nationalNumber);
  loginModel.setPassword(tour.password);
  loginModel.login();
  if (!expect(processUntil([&] { return shell.isLoggedIn(); }), "signing in failed")) {
    problems.append(loginModel.toastMessage());
    return problems;
  }
  expect(processUntil([&] { return mainModel.trafficManager()->currentTraffic().has_value(); }),
         "no traffic figures");
  settle(1300);
  capture(QStringLiteral("main_disconnected"));

  mainModel.toggleConnection();
  bool connected = processUntil([&] { return !mainModel.isLoading(); }) && mainModel.isRunning();
  if (expect(connected, "connecting failed")) {
    expect(shell.isConnected(), "the tray item's state is not connected");
    mainModel.setShowingNodeInfo(true);
    bool measured = processUntil([&] {
      QVariantList nodes = mainModel.nodeInfos();
      return !nodes.isEmpty() &&
             nodes.front().toMap().value(QStringLiteral("latency")) != QStringLiteral("--");
    });
    if (!measured) {
      QStringList rows;
      for (const QVariant& row : mainModel.nodeInfos()) {
        rows.append(row.toMap().value(QStringLiteral("name")).toString() + QLatin1Char(' ') +
                    row.toMap().value(QStringLiteral("latency")).toString());
      }
      problems.append(QStringLiteral("no paths with a first-hop delay: [") +
                      rows.join(QStringLiteral(", ")) + QLatin1Char(']'));
    }
    capture(QStringLiteral("main_connected"));
    mainModel.setShowingNodeInfo(false);
    mainModel.toggleConnection();
    expect(processUntil([&] { return !mainModel.isLoading(); }) && !mainModel.isRunning(),
           "disconnecting failed");
    expect(!shell.isConnected(), "the tray item stayed");
  } else {
    problems.append(mainModel.toastMessage() + mainModel.permissionAlertMessage());
  }
  mainModel.signOut();
  expect(processUntil([&] { return !shell.isLoggedIn(); }), "signing out failed");
  return problems;
}

QStringList takeFailureTour(const ScreenTour& tour, const QString& language,
                            const FailureStage& stage) {
  QStringList problems;
  TourWindow view(tour, language);
  if (!view.window.window()) return {QStringLiteral("the window did not load")};
  QQuickWindow& quickWindow = *view.window.window();
  auto& shell = view.shell;
  auto& loginModel = view.loginModel;
  auto& mainModel = view.mainModel;
  auto capture = [&](const QString& name) {
    settle(400);
    QString path = view.picturePath(name);
    if (!quickWindow.grabWindow().save(path))
      problems.append(path + QStringLiteral(": not written"));
  };
  auto expect = [&](bool holds, const char* what) {
    if (!holds) problems.append(QString::fromLatin1(what));
    return holds;
  };
  settle(1300);

  if (QObject* picker = findComboBox(quickWindow.contentItem())) {
    auto* list = picker->property("popup").value<QObject*>();
    if (list) QMetaObject::invokeMethod(list, "open");
    expect(list && processUntil([&] { return list->property("opened").toBool(); }, 3000),
           "the country picker did not open");
    capture(QStringLiteral("signin_picker"));
    if (list) QMetaObject::invokeMethod(list, "close");
  } else {
    problems.append(QStringLiteral("no country picker"));
  }
  loginModel.setSelectedCountry(countryIndex(tour.regionCode));
  loginModel.setPhoneNumber(tour.nationalNumber);
  loginModel.setPassword(QStringLiteral("not-the-password"));
  loginModel.login();
  expect(processUntil([&] { return !loginModel.isLoading(); }), "the sign-in never ended");
  expect(!loginModel.toastMessage().isEmpty(), "no word of the wrong password");
  capture(QStringLiteral("signin_wrong_password"));

  loginModel.setPassword(tour.password);
  loginModel.login();
  if (!expect(processUntil([&] { return shell.isLoggedIn(); }), "signing in failed")) {
    return problems;
  }
  settle(1300);
  stage.setDaemonReachable(false);
  expect(processUntil([&] { return !tour.vpnManager->isServiceReachable(); }),
         "the lost daemon was not shown");
  capture(QStringLiteral("main_service_stopped"));
  stage.setDaemonReachable(true);
  expect(processUntil([&] { return tour.vpnManager->isServiceReachable(); }),
         "the daemon's return was not shown");

  stage.setPermissionRefused(true);
  mainModel.toggleConnection();
  expect(processUntil([&] { return mainModel.showingPermissionAlert(); }), "no permission alert");
  capture(QStringLiteral("main_permission"));
  mainModel.setShowingPermissionAlert(false);
  stage.setPermissionRefused(false);
  processUntil([&] { return !mainModel.isLoading(); });

  stage.expireSession();
  mainModel.toggleConnection();
  expect(processUntil([&] { return !shell.isLoggedIn(); }), "the expired session stayed");
  settle(1000);
  expect(!loginModel.toastMessage().isEmpty(), "the sign-in screen does not say why");
  capture(QStringLiteral("signin_session_expired"));
  return problems;
}

}  // namespace testsupport

// Fontconfig keeps its caches until the process ends; the leak checker of
// the sanitizer build should not count them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
