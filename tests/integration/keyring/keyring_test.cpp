// The user's secrets against a real gnome-keyring-daemon on a private session
// bus that activates nothing: the keyring only while it answers unlocked, the
// move out of the file store, and no wait on a bus that never answers.

#include "platform/keyring/keyring_secret_store.hpp"
#include "tests/support/files/temporary_directory.hpp"
#include "tests/support/process/child_process.hpp"

#include <gtest/gtest.h>

#include <csignal>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::SecretAccessibility;
using platform::SecretStatus;
using testsupport::ChildProcess;

const platform::SecretItemKey kTokens{"net.veskar.macos.tokens", "current-user", std::nullopt};
constexpr const char* kGroup = "TEAM.net.veskar.macos.shared";

class KeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home_.path().c_str(), 1);  // its keyrings go there
    ::setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
    std::ofstream(home_ / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:dir=" << home_.path().string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + (home_ / "bus.conf").string(),
                                 "--nofork", "--print-address=1"});
    auto address = bus_->readLineWithin(10s).value_or("");
    ASSERT_TRUE(address.starts_with("unix:")) << address;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }

  // The keyring daemon, its login keyring unlocked with a password on its
  // standard input or left locked; once it owns its name on the bus.
  void startKeyring(bool unlocked) {
    keyring_.reset();
    std::string command = "exec gnome-keyring-daemon --components=secrets --foreground";
    command += unlocked ? " --unlock <<EOF\nveskar-test\nEOF\n" : " </dev/null";
    keyring_ = std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", command},
                                              ChildProcess::Output::discarded);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::system("dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                       "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
                       "string:org.freedesktop.secrets | grep -q true") != 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the keyring never started";
      std::this_thread::sleep_for(50ms);
    }
  }

  std::shared_ptr<platform::SecretStore> userStore() {
    return platform::userSecretStore(home_ / "secrets", kGroup, {kTokens}, 5s);
  }
  static bool isKeyring(const std::shared_ptr<platform::SecretStore>& store) {
    return std::dynamic_pointer_cast<platform::KeyringSecretStore>(store) != nullptr;
  }

  testsupport::TemporaryDirectory home_{"veskar-keyring"};
  platform::FileSecretStore file_{home_ / "secrets", kGroup};
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> keyring_;
};

TEST_F(KeyringTest, TokensMoveIntoAnUnlockedKeyringAndStayInTheFileOtherwise) {
  const std::string first("first\0tokens", 12);  // opaque bytes, NUL included
  ASSERT_EQ(file_.add(kTokens, first, SecretAccessibility::whenUnlockedThisDeviceOnly),
            SecretStatus::success);

  // No keyring on the bus: the file store, untouched.
  auto store = userStore();
  EXPECT_FALSE(isKeyring(store));
  EXPECT_EQ(store->copyMatching(kTokens).item->data, first);

  // Unlocked: moved, with its accessibility, and gone from the file.
  ASSERT_NO_FATAL_FAILURE(startKeyring(true));
  store = userStore();
  ASSERT_TRUE(isKeyring(store));
  EXPECT_EQ(file_.copyMatching(kTokens).status, SecretStatus::itemNotFound);
  auto moved = store->copyMatching(kTokens);
  ASSERT_EQ(moved.status, SecretStatus::success);
  EXPECT_EQ(moved.item->data, first);
  EXPECT_EQ(moved.item->accessibility, SecretAccessibility::whenUnlockedThisDeviceOnly);

  // The store's contract, kept by the keyring.
  EXPECT_EQ(store->add(kTokens, "again", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::duplicateItem);
  EXPECT_EQ(store->update(kTokens, "second"), SecretStatus::success);
  EXPECT_EQ(store->copyMatching(kTokens).item->data, "second");
  auto otherGroup = kTokens;
  otherGroup.accessGroup = "OTHER.net.veskar.macos.shared";
  EXPECT_EQ(store->update(otherGroup, "x"), SecretStatus::itemNotFound);

  // Written to the file while the keyring was locked: the file is used, and
  // its newer item replaces the keyring's once the keyring opens again.
  ASSERT_EQ(file_.add(kTokens, "third", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::success);
  ASSERT_NO_FATAL_FAILURE(startKeyring(false));
  EXPECT_FALSE(isKeyring(userStore()));
  EXPECT_EQ(file_.copyMatching(kTokens).item->data, "third");
  ASSERT_NO_FATAL_FAILURE(startKeyring(true));
  store = userStore();
  ASSERT_TRUE(isKeyring(store));
  EXPECT_EQ(store->copyMatching(kTokens).item->data, "third");
  EXPECT_EQ(file_.copyMatching(kTokens).status, SecretStatus::itemNotFound);

  EXPECT_EQ(store->remove(kTokens), SecretStatus::success);
  EXPECT_EQ(store->remove(kTokens), SecretStatus::itemNotFound);
}

TEST(MoveSecretItems, AFailedStepLeavesTheItemInTheSourceAndSaysSo) {
  using Operation = platform::MemorySecretStore::Operation;
  // The keyring refuses the copy or its read-back; the file cannot be removed.
  for (auto [target, operation] : std::initializer_list<std::pair<bool, Operation>>{
           {true, Operation::add}, {true, Operation::copyMatching}, {false, Operation::remove}}) {
    platform::MemorySecretStore from(kGroup), to(kGroup);
    from.add(kTokens, "tokens", SecretAccessibility::afterFirstUnlockThisDeviceOnly);
    (target ? to : from).refuse(operation, SecretStatus::ioError);
    EXPECT_FALSE(platform::moveSecretItems(from, to, {kTokens}));
    EXPECT_EQ(from.copyMatching(kTokens).item->data, "tokens");
  }
}

TEST_F(KeyringTest, VeskarctlFallsBackToTheFileStoreOnASilentBus) {
  ::kill(bus_->pid(), SIGSTOP);  // connections queue in the kernel, unanswered
  ChildProcess veskarctl({VESKARCTL_BIN, "traffic"}, ChildProcess::Output::combined);
  auto ended = veskarctl.stop(0, 20s);  // the keyring's wait is 3 s
  ::kill(bus_->pid(), SIGCONT);
  ASSERT_TRUE(ended.has_value()) << "veskarctl still waits on the bus";
  EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 1) << veskarctl.output();
}

}  // namespace
