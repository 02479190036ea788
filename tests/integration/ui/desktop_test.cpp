// The app on a desktop: notifications only while the window is hidden and
// only for what the user did not ask for, and the "Start at login" entry.

#include "tests/integration/ui/screens_fixture.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include "veskar/ui/desktop_notifier.hpp"
#include "veskar/ui/start_at_login.hpp"

#include <fstream>

namespace veskar::test {
namespace {

using platform::TunnelStatus;

TEST_F(Screens, HiddenWindowIsToldOfDropsAndFailuresButNotOfTheTraysDisconnect) {
  bool hidden = false;
  QStringList told;
  ui::DesktopNotifier notifier(
      *shell, *mainModel, [&] { return hidden; },
      [&](const QString& summary, const QString& body) {
        told.append(summary + QStringLiteral(": ") + body);
      });
  auto drop = [&] {
    host->setStatus(host->configurations.front().identifier, TunnelStatus::disconnected);
    ASSERT_TRUE(until([&] { return !shell->isConnected(); }));
  };
  signInAndConnect();
  drop();  // in sight: the window shows it

  hidden = true;
  mainModel->toggleConnection();
  ASSERT_TRUE(until([&] { return shell->isConnected(); }));
  shell->disconnect();  // the tray's own
  ASSERT_TRUE(until([&] { return !shell->isConnected(); }));
  EXPECT_TRUE(told.isEmpty());  // neither that nor the drop in sight

  advance(ui::MainViewModel::minimumProgressSeconds);
  mainModel->toggleConnection();
  ASSERT_TRUE(until([&] { return shell->isConnected(); }));
  drop();
  host->statusAfterStart = TunnelStatus::disconnected;
  advance(ui::MainViewModel::minimumProgressSeconds);
  mainModel->toggleConnection();
  ASSERT_TRUE(advanceUntil([&] { return !mainModel->isLoading(); }));
  EXPECT_EQ(told, (QStringList{
                      "Veskar disconnected: The tunnel went down. Open Veskar to connect again.",
                      "Veskar could not connect: The tunnel could not be connected.",
                  }));
}

TEST(StartAtLogin, WritesAnEntryThatStartsThisProgramAndFollowsTheDesktopsSwitch) {
  testsupport::TemporaryDirectory home("veskar-autostart");
  auto entry = home / "config" / "autostart" / "veskar.desktop";
  ui::StartAtLogin choice(entry, "/opt/My Apps/veskar");
  EXPECT_FALSE(choice.enabled());
  choice.setEnabled(true);
  ASSERT_TRUE(choice.enabled());

  // Quoted with its reserved characters escaped, and the string's backslashes doubled.
  using Line = std::pair<const char*, const char*>;
  for (auto [program, exec] :
       std::initializer_list<Line>{{"/usr/bin/veskar", "Exec=/usr/bin/veskar\n"},
                                   {"/opt/My Apps/veskar", "Exec=\"/opt/My Apps/veskar\"\n"},
                                   {"/a$b/100%/v", "Exec=\"/a\\\\$b/100%%/v\"\n"}}) {
    EXPECT_NE(ui::StartAtLogin::entryText(program).find(exec), std::string::npos) << exec;
  }

  std::ofstream(entry, std::ios::app) << "Hidden=true\n";  // switched off in the desktop's settings
  EXPECT_FALSE(choice.enabled());
  choice.setEnabled(false);
  EXPECT_FALSE(std::filesystem::exists(entry));
}

}  // namespace
}  // namespace veskar::test
