#include "platform/secret_store.hpp"

#include "tests/support/files/file_contents.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using platform::FileSecretStore;
using platform::SecretAccessibility;
using platform::SecretItemKey;
using platform::SecretStatus;

using testsupport::modeOf;
using testsupport::readAll;
using testsupport::writeAll;

namespace {

class SecretStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veskar-secrets-XXXXXX";
    root = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(root); }

  static std::string dataOf(FileSecretStore& store, const SecretItemKey& key) {
    auto lookup = store.copyMatching(key);
    EXPECT_EQ(lookup.status, SecretStatus::success);
    return lookup.item ? lookup.item->data : "";
  }

  fs::path root;
  SecretItemKey key{"net.veskar.macos.tokens", "current-user", std::nullopt};
  const std::string group = platform::sharedAccessGroup();
};

TEST_F(SecretStoreTest, ItemsFollowTheKeychainRules) {
  FileSecretStore store(root / "secrets", group);
  EXPECT_EQ(group, "VSKR4T3AM1.net.veskar.macos.shared");

  EXPECT_EQ(static_cast<int>(store.copyMatching(key).status), -25300);
  EXPECT_EQ(store.update(key, "x"), SecretStatus::itemNotFound);
  EXPECT_EQ(store.remove(key), SecretStatus::itemNotFound);

  std::string binary("a\0b\xff", 4);
  ASSERT_EQ(store.add(key, binary, SecretAccessibility::whenUnlockedThisDeviceOnly),
            SecretStatus::success);
  EXPECT_EQ(store.add(key, "other", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::duplicateItem);
  EXPECT_EQ(dataOf(store, key), binary);

  // An update replaces the data and keeps the accessibility the item was created with.
  ASSERT_EQ(store.update(key, "new"), SecretStatus::success);
  FileSecretStore reopened(root / "secrets", group);
  auto lookup = reopened.copyMatching(key);
  ASSERT_EQ(lookup.status, SecretStatus::success);
  EXPECT_EQ(lookup.item->data, "new");
  EXPECT_EQ(lookup.item->accessibility, SecretAccessibility::whenUnlockedThisDeviceOnly);

  // The default group is the shared one; an item of another group or account is another item.
  EXPECT_EQ(dataOf(store, {key.service, key.account, group}), "new");
  EXPECT_EQ(store.copyMatching({key.service, key.account, "OTHER.net.veskar.macos.shared"}).status,
            SecretStatus::itemNotFound);
  EXPECT_EQ(store.copyMatching({key.service, "packet-tunnel", std::nullopt}).status,
            SecretStatus::itemNotFound);

  EXPECT_EQ(store.remove(key), SecretStatus::success);
  EXPECT_EQ(store.copyMatching(key).status, SecretStatus::itemNotFound);
}

TEST_F(SecretStoreTest, ModesAreExactWhateverTheUmask) {
  for (mode_t mask : {mode_t(0000), mode_t(0077), mode_t(0022)}) {
    SCOPED_TRACE(mask);
    fs::path directory = root / std::to_string(mask) / "secrets";
    mode_t previous = ::umask(mask);
    FileSecretStore store(directory, group);
    auto added = store.add(key, "a", SecretAccessibility::afterFirstUnlockThisDeviceOnly);
    auto updated = store.update(key, "b");
    ::umask(previous);
    ASSERT_EQ(added, SecretStatus::success);
    ASSERT_EQ(updated, SecretStatus::success);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(directory.parent_path()), 0700u);
    EXPECT_EQ(modeOf(store.itemPath(key)), 0600u);
  }
}

TEST_F(SecretStoreTest, SymlinksAreRefusedAndLeftAlone) {
  FileSecretStore store(root / "secrets", group);
  ASSERT_EQ(store.add({"seed", "seed", std::nullopt}, "s",
                      SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::success);
  auto target = root / "target";
  writeAll(target, "target");
  fs::create_symlink(target, store.itemPath(key));
  EXPECT_EQ(store.copyMatching(key).status, SecretStatus::ioError);
  EXPECT_EQ(store.update(key, "x"), SecretStatus::ioError);
  EXPECT_EQ(store.add(key, "x", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::ioError);
  EXPECT_EQ(store.remove(key), SecretStatus::ioError);
  EXPECT_TRUE(fs::is_symlink(store.itemPath(key)));
  EXPECT_EQ(readAll(target), "target");

  // A symlink in place of the directory: nothing is read or written through it.
  auto real = root / "real";
  fs::create_directory(real);
  fs::create_directory_symlink(real, root / "linked");
  FileSecretStore linked(root / "linked", group);
  EXPECT_EQ(linked.add(key, "x", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::ioError);
  writeAll(real / store.itemPath(key).filename(), readAll(store.itemPath({"seed", "seed", {}})));
  EXPECT_EQ(linked.copyMatching(key).status, SecretStatus::ioError);
  EXPECT_EQ(linked.update(key, "y"), SecretStatus::ioError);
  EXPECT_EQ(std::distance(fs::directory_iterator(real), fs::directory_iterator()), 1);
}

TEST_F(SecretStoreTest, ACrashBeforeTheRenameLeavesTheOldItem) {
  FileSecretStore store(root / "secrets", group);
  ASSERT_EQ(store.add(key, "old", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::success);
  // What a writer that died between writing and renaming leaves behind.
  auto item = store.itemPath(key);
  writeAll(item.parent_path() / ("." + item.filename().string() + ".a1B2c3"), "{\"service\":\"net");
  EXPECT_EQ(dataOf(store, key), "old");
  EXPECT_EQ(store.update(key, "new"), SecretStatus::success);
  EXPECT_EQ(dataOf(store, key), "new");
}

TEST_F(SecretStoreTest, ACorruptItemReadsAsADecodeFailureAndIsReplacedByAdd) {
  FileSecretStore store(root / "secrets", group);
  SecretItemKey other{"another", "item", std::nullopt};
  ASSERT_EQ(store.add(other, "o", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::success);
  auto item = store.itemPath(key);
  // Not JSON, a cut item, another item's file moved here, a bad Base64 payload.
  for (std::string corrupt :
       {std::string("\x00\x01garbage", 9), std::string("{\"service\":\"net.veskar"),
        readAll(store.itemPath(other)),
        R"({"service":"net.veskar.macos.tokens","account":"current-user","accessGroup":")" + group +
            R"(","accessibility":"afterFirstUnlockThisDeviceOnly","data":"!!"})"}) {
    writeAll(item, corrupt);
    EXPECT_EQ(store.copyMatching(key).status, SecretStatus::decodeFailed);
    EXPECT_EQ(store.update(key, "x"), SecretStatus::itemNotFound);
  }
  EXPECT_EQ(store.add(key, "fresh", SecretAccessibility::afterFirstUnlockThisDeviceOnly),
            SecretStatus::success);
  EXPECT_EQ(dataOf(store, key), "fresh");
}

TEST_F(SecretStoreTest, WritersInTwoProcessesNeverTearAnItem) {
  FileSecretStore store(root / "secrets", group);
  ASSERT_EQ(
      store.add(key, std::string(200000, 'a'), SecretAccessibility::afterFirstUnlockThisDeviceOnly),
      SecretStatus::success);
  std::vector<pid_t> writers;
  for (char letter : {'b', 'c'}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Different lengths too, so a mixture of the two shows in the size as well.
      std::string value(letter == 'b' ? 150000 : 250000, letter);
      FileSecretStore own(root / "secrets", group);
      for (int i = 0; i < 60; ++i) {
        if (own.update(key, value) != SecretStatus::success) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  int reads = 0;
  auto whole = [](const std::string& data) {
    return !data.empty() && data.find_first_not_of(data[0]) == std::string::npos &&
           data.size() == (data[0] == 'a'   ? 200000u
                           : data[0] == 'b' ? 150000u
                                            : 250000u);
  };
  std::vector<int> exits;
  while (exits.size() < writers.size()) {
    auto lookup = store.copyMatching(key);
    ASSERT_EQ(lookup.status, SecretStatus::success);
    ASSERT_TRUE(whole(lookup.item->data)) << "torn read after " << reads << " reads";
    ++reads;
    int status = 0;
    if (waitpid(-1, &status, WNOHANG) > 0) exits.push_back(status);
  }
  for (int status : exits) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto final = dataOf(store, key);
  EXPECT_TRUE(whole(final) && final[0] != 'a');
  EXPECT_GT(reads, 0);
}

}  // namespace
