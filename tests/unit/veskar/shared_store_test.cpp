// The user's token item and the sign-out wipe.

#include "veskar/control/shared_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace veskar {
namespace {

class SharedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veskar-store-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    directory = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::filesystem::path directory;
  std::shared_ptr<platform::MemorySecretStore> secrets =
      std::make_shared<platform::MemorySecretStore>();
  std::shared_ptr<platform::UserDefaults> defaults;
  SharedStore store() {
    if (!defaults) defaults = std::make_shared<platform::UserDefaults>(directory, "veskar");
    return SharedStore(secrets, defaults);
  }
  const TokenState tokens{"access", "refresh", runtime::Date{812345678.25}};
};

TEST_F(SharedStoreTest, SavesByAddThenByUpdateKeepingTheAccessibility) {
  auto s = store();
  EXPECT_FALSE(s.tokens());
  s.saveTokens(tokens);
  EXPECT_EQ(s.tokens(), tokens);
  auto second = tokens;
  second.accessToken = "access-2";
  s.saveTokens(second);
  EXPECT_EQ(s.tokens(), second);
  auto item = secrets->copyMatching(SharedStore::tokenItem()).item;
  ASSERT_TRUE(item);
  EXPECT_EQ(item->accessibility, platform::SecretAccessibility::afterFirstUnlockThisDeviceOnly);
  EXPECT_EQ(SharedStore::tokenItem().service, "net.veskar.macos.tokens");
  EXPECT_EQ(SharedStore::tokenItem().account, "current-user");

  // A refused update fails with the store's status and changes nothing.
  secrets->refuse(platform::MemorySecretStore::Operation::update, platform::SecretStatus::ioError);
  try {
    s.saveTokens(tokens);
    FAIL() << "saved";
  } catch (const runtime::SystemError& error) {
    EXPECT_EQ(error.code(), platform::SecretStatus::ioError);
  }
  EXPECT_EQ(s.tokens(), second);
}

TEST_F(SharedStoreTest, UnreadableOrForeignItemsReadAsAbsent) {
  auto s = store();
  for (const char* data : {"not json", R"({"accessToken":"a","refreshToken":"r"})"}) {
    secrets->remove(SharedStore::tokenItem());
    secrets->add(SharedStore::tokenItem(), data,
                 platform::SecretAccessibility::afterFirstUnlockThisDeviceOnly);
    EXPECT_FALSE(s.tokens()) << data;
  }
  // The next save overwrites the broken item.
  s.saveTokens(tokens);
  EXPECT_EQ(s.tokens(), tokens);

  secrets->remove(SharedStore::tokenItem());
  auto foreign = SharedStore::tokenItem();
  foreign.accessGroup = "OTHER.net.veskar.macos.shared";
  secrets->add(foreign, R"({"accessToken":"a","refreshToken":"r","accessExpiresAt":1})",
               platform::SecretAccessibility::afterFirstUnlockThisDeviceOnly);
  EXPECT_FALSE(s.tokens());
}

TEST_F(SharedStoreTest, ClearKeepsTheDeviceKeyAndTheHighSpeedSwitch) {
  auto s = store();
  EXPECT_TRUE(s.highSpeedEnabled());
  s.saveTokens(tokens);
  defaults->setData(kLoginSessionKey, R"({"phone":"+1","publicID":"u"})");
  defaults->setData(kTunnelBootstrapKey, "{}");
  defaults->setString(kDeviceKeyKey, "KEY");
  defaults->setBool(kHighSpeedEnabledKey, false);
  s.clear();
  EXPECT_FALSE(s.tokens());
  EXPECT_FALSE(defaults->data(kLoginSessionKey));
  EXPECT_FALSE(defaults->data(kTunnelBootstrapKey));
  EXPECT_EQ(defaults->string(kDeviceKeyKey), "KEY");
  EXPECT_FALSE(s.highSpeedEnabled());
  s.clear();  // nothing left to remove: still fine
}

}  // namespace
}  // namespace veskar
