// The user's secrets against a real gnome-keyring-daemon on a private session
// bus that activates nothing: the keyring only while it answers unlocked, the
// move out of the file store, and no wait on a bus that never answers.

#include "platform/keyring/keyring_secret_store.hpp"
#include "tests/support/files/temporary_directory.hpp"
#include "tests/support/process/child_process.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
    for (const char* folder : {"data", "run"}) std::filesystem::create_directories(home_ / folder);
    std::filesystem::permissions(home_ / "run", std::filesystem::perms::owner_all);
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home_ / "run").c_str(), 1);
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
  EXPECT_EQ(store->copyMatching(kTokens).item->accessibility,
            SecretAccessibility::whenUnlockedThisDeviceOnly);
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

TEST(SilentSessionBus, VeskarctlFallsBackToTheFileStoreInsteadOfWaiting) {
  testsupport::TemporaryDirectory home("veskar-silent-bus");
  // Connections are queued by the kernel and never answered.
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (home / "bus").native().copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);

  ChildProcess veskarctl(
      {"env", "HOME=" + home.path().string(), "XDG_DATA_HOME=" + (home / "data").string(),
       "XDG_CONFIG_HOME=" + (home / "config").string(), "XDG_RUNTIME_DIR=" + home.path().string(),
       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "bus").string(), VESKARCTL_BIN, "traffic"},
      ChildProcess::Output::combined);
  // The keyring's wait is 3 s; a hang would last for ever.
  auto ended = veskarctl.stop(0, 20s);
  ::close(listener);
  ASSERT_TRUE(ended.has_value()) << "veskarctl still waits on the silent bus";
  EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 1);
}

}  // namespace
