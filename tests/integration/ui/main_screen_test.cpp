// The main screen and the shell over the core: the connect button's states
// and progress, failure texts and the permission alert, the node list, the
// high-speed switch, sign-out, and the quit rules.

#include "tests/integration/ui/screens_fixture.hpp"

#include "veskar/ui/tray_item.hpp"

#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QWidgetAction>

#include <cerrno>

namespace veskar::test {
namespace {

using platform::TunnelStatus;

const std::string& ownConfiguration(const platform::RecordingTunnelHost& host) {
  return host.configurations.front().identifier;
}

TEST_F(Screens, ConnectShowsProgressForAtLeastASecondThenTheTunnelState) {
  signIn();
  QStringList traffic;
  QObject::connect(mainModel.get(), &ui::MainViewModel::trafficTextChanged,
                   [&] { traffic.append(mainModel->trafficText()); });
  mainModel->appear();
  EXPECT_EQ(mainModel->phoneText(), QStringLiteral("+1***0100"));
  ASSERT_TRUE(until([&] { return mainModel->trafficManager()->currentTraffic().has_value(); }));
  ASSERT_GE(traffic.size(), 2);
  EXPECT_EQ(traffic.front(), QStringLiteral("Loading…"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9.]+[KMG]$")).match(traffic.back()).hasMatch())
      << traffic.back().toStdString();
  EXPECT_TRUE(mainModel->highSpeedEnabled());  // never stored: on

  std::vector<bool> loading;
  QObject::connect(mainModel.get(), &ui::MainViewModel::isLoadingChanged,
                   [&] { loading.push_back(mainModel->isLoading()); });
  mainModel->toggleConnection();
  ASSERT_TRUE(until([&] { return vpnManager->isConnected(); }));
  // Connected, but the button keeps its progress until a second has passed.
  EXPECT_TRUE(mainModel->isLoading());
  EXPECT_FALSE(mainModel->isRunning());
  EXPECT_TRUE(shell->isConnected());  // the tray item appears at once
  advance(0.9);
  EXPECT_TRUE(mainModel->isLoading());
  advance(0.1);
  EXPECT_FALSE(mainModel->isLoading());
  EXPECT_TRUE(mainModel->isRunning());
  EXPECT_EQ(loading, (std::vector<bool>{true, false}));
  ASSERT_EQ(host->starts.size(), 1u);
  EXPECT_EQ(std::get<double>(host->starts[0].options.at("high_speed_enabled")), 1.0);

  mainModel->toggleConnection();
  ASSERT_TRUE(until([&] { return !vpnManager->isConnected(); }));
  advance(1);
  EXPECT_FALSE(mainModel->isRunning());
  EXPECT_FALSE(shell->isConnected());
  EXPECT_EQ(host->stops.size(), 1u);
}

TEST_F(Screens, ConnectFailuresBecomeToastsOrThePermissionAlert) {
  signIn();
  QString ended;
  QObject::connect(mainModel.get(), &ui::MainViewModel::sessionEnded,
                   [&](const QString& text) { ended = text; });
  struct Case {
    std::function<void()> arrange;
    const char* toast;
    bool alert;
  };
  Case cases[] = {
      // The tunnel never comes up: connect reports false.
      {[&] { host->statusAfterStart = TunnelStatus::disconnected; },
       "The tunnel could not be connected.", false},
      // The daemon refuses a caller outside its group.
      {[&] {
         host->statusAfterStart = TunnelStatus::connected;
         host->failure = runtime::ErrorCode(EACCES, boost::system::generic_category());
       },
       "", true},
      // No stored tokens: back to the sign-in screen, which says why.
      {[&] {
         host->failure = {};
         store.saveTokens({"", "", clock->now()});
         platform::FileSecretStore(server.directory() / "app" / "secrets",
                                   platform::sharedAccessGroup())
             .remove(SharedStore::tokenItem());
       },
       "", false},
  };
  for (const Case& c : cases) {
    c.arrange();
    mainModel->toggleConnection();
    ASSERT_TRUE(advanceUntil([&] { return !mainModel->isLoading(); }));
    EXPECT_FALSE(mainModel->isRunning());
    EXPECT_EQ(mainModel->toastMessage().toStdString(), c.toast);
    EXPECT_EQ(mainModel->showingPermissionAlert(), c.alert);
    if (c.alert) {
      EXPECT_TRUE(mainModel->permissionAlertMessage().contains(
          QStringLiteral("sudo usermod -aG veskar $USER")));
      mainModel->openPermissionSettings();
      EXPECT_EQ(openedURLs.back(), QUrl(QStringLiteral("https://www.lab.example/help/")));
      mainModel->setShowingPermissionAlert(false);
    }
    advance(ui::MainViewModel::errorToastSeconds);
    EXPECT_TRUE(mainModel->toastMessage().isEmpty());
  }
  EXPECT_EQ(ended.toStdString(), "Your session has expired. Please sign in again.");
  EXPECT_FALSE(shell->isLoggedIn());
}

TEST_F(Screens, NodeListIsPolledOnlyWhileShownInAnActiveWindow) {
  nodeStatus = nodeStatusWithOnePath();
  signInAndConnect();
  auto polls = [&] {
    return std::count_if(host->messages.begin(), host->messages.end(),
                         [](const auto& m) { return m.message == "node-status"; });
  };
  EXPECT_EQ(polls(), 0);

  mainModel->setShowingNodeInfo(true);
  ASSERT_TRUE(until([&] { return mainModel->nodeInfos().size() == 1; }));
  auto row = mainModel->nodeInfos().front().toMap();
  EXPECT_EQ(row.value(QStringLiteral("name")).toString(), QStringLiteral("Lab exit"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+ ms$"))
                  .match(row.value(QStringLiteral("latency")).toString())
                  .hasMatch())
      << row.value(QStringLiteral("latency")).toString().toStdString();
  advance(3);
  EXPECT_EQ(polls(), 2);

  mainModel->setWindowActive(false);  // the window went to the background
  EXPECT_TRUE(mainModel->nodeInfos().isEmpty());
  advance(6);
  EXPECT_EQ(polls(), 2);
  mainModel->setWindowActive(true);
  ASSERT_TRUE(until([&] { return polls() == 3; }));
  mainModel->setShowingNodeInfo(false);
  advance(6);
  EXPECT_EQ(polls(), 3);
}

TEST_F(Screens, HighSpeedSwitchIsStoredToldToTheTunnelAndToasted) {
  signInAndConnect();
  mainModel->toggleHighSpeed();
  EXPECT_FALSE(mainModel->highSpeedEnabled());
  EXPECT_EQ(store.defaults().boolean(kHighSpeedEnabledKey), false);
  EXPECT_EQ(mainModel->toastMessage(), QStringLiteral("High speed is off"));
  ASSERT_TRUE(until([&] {
    return !host->messages.empty() && host->messages.back().message == "high-speed:off";
  }));
  advance(ui::MainViewModel::highSpeedToastSeconds);
  EXPECT_TRUE(mainModel->toastMessage().isEmpty());

  mainModel->toggleHighSpeed();
  EXPECT_EQ(mainModel->toastMessage(), QStringLiteral("High speed is on"));
  // A new screen reads the stored switch.
  mainModel->toggleHighSpeed();
  makeScreens();
  mainModel->appear();
  EXPECT_FALSE(mainModel->highSpeedEnabled());
}

TEST_F(Screens, LockdownSwitchIsTheDaemonsAndMovesOnlyOnceItAgreed) {
  host->lockdownEnabled = true;
  signInAndConnect();
  ASSERT_TRUE(until([&] { return mainModel->lockdownEnabled(); }));

  // A refusal leaves the switch where the daemon's state is, and says why.
  host->failure = platform::TunnelHostError::connectionLost;
  mainModel->toggleLockdown();
  ASSERT_TRUE(until([&] { return !mainModel->toastMessage().isEmpty(); }));
  EXPECT_TRUE(mainModel->lockdownEnabled());
  EXPECT_TRUE(host->lockdownSets.empty());
  advance(ui::MainViewModel::errorToastSeconds);

  host->failure = {};
  mainModel->toggleLockdown();
  ASSERT_TRUE(until([&] { return !mainModel->lockdownEnabled(); }));
  EXPECT_EQ(host->lockdownSets, std::vector<bool>{false});
  EXPECT_EQ(mainModel->toastMessage(), QStringLiteral("Lockdown is off"));
}

TEST_F(Screens, SignOutDisconnectsStopsTrafficAndReturnsToSignIn) {
  signInAndConnect();
  ASSERT_TRUE(mainModel->trafficManager()->isMonitoring());
  mainModel->signOut();
  ASSERT_TRUE(until([&] { return !shell->isLoggedIn(); }));
  EXPECT_EQ(host->stops.size(), 1u);
  EXPECT_FALSE(shell->isConnected());
  EXPECT_FALSE(mainModel->trafficManager()->isMonitoring());
  EXPECT_FALSE(store.tokens());
  EXPECT_EQ(mainModel->phoneText(), QStringLiteral("Unknown"));
}

TEST_F(Screens, TunnelDroppingElsewhereUpdatesTheButtonAndRemovesTheTray) {
  ui::TrayItem tray(*shell);
  EXPECT_FALSE(tray.exists());
  signInAndConnect();
  ASSERT_TRUE(tray.exists());
  QStringList entries;
  for (QAction* action : tray.menu()->actions()) {
    if (auto* widget = qobject_cast<QWidgetAction*>(action)) {
      entries.append(qobject_cast<QLabel*>(widget->defaultWidget())->text());
    } else {
      entries.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
  }
  EXPECT_EQ(entries, (QStringList{"Veskar", "Connected", "-", "Disconnect", "Open Veskar", "-",
                                  "Disconnect and Quit"}));

  host->setStatus(ownConfiguration(*host), TunnelStatus::disconnected);
  ASSERT_TRUE(until([&] { return !shell->isConnected(); }));
  EXPECT_FALSE(mainModel->isRunning());
  EXPECT_FALSE(tray.exists());
}

TEST_F(Screens, QuitWhileConnectedHidesAndDisconnectAndQuitAlwaysQuits) {
  int hides = 0;
  int terminations = 0;
  QObject::connect(shell.get(), &ui::AppShell::hideWindowRequested, [&] { ++hides; });
  QObject::connect(shell.get(), &ui::AppShell::terminateRequested, [&] { ++terminations; });
  EXPECT_TRUE(shell->requestQuit());  // disconnected: quit now
  EXPECT_EQ(hides, 0);

  signInAndConnect();
  EXPECT_FALSE(shell->requestQuit());
  EXPECT_EQ(hides, 1);
  EXPECT_TRUE(vpnManager->isConnected());

  // The daemon has gone away: the disconnect fails, the quit still happens.
  host->failure = make_error_code(platform::TunnelHostError::connectionLost);
  shell->disconnectAndQuit();
  ASSERT_TRUE(until([&] { return terminations == 1; }));
}

}  // namespace
}  // namespace veskar::test
