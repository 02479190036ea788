#include "flowgate/control/token_store.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <filesystem>
#include <fstream>

using namespace flowgate;
using platform::SecretAccessibility;
using platform::SecretStatus;

namespace {

class TokenStoreTest : public ::testing::Test {
 protected:
  static std::filesystem::path temporaryDirectory() {
    char pattern[] = "/tmp/veskar-tokens-XXXXXX";
    return mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  std::filesystem::path root = temporaryDirectory();
  platform::FileSecretStore store{root / "secrets", platform::sharedAccessGroup()};
};

TEST_F(TokenStoreTest, SavingCreatesTheItemThenUpdatesItInPlace) {
  EXPECT_EQ(loadTokens(store), std::nullopt);
  StoredTokenState first{"access-1", "refresh-1", runtime::Date{786000000.25}};
  saveTokens(store, first);
  auto item = store.copyMatching(extensionTokensItem());
  ASSERT_EQ(item.status, SecretStatus::success);
  EXPECT_EQ(item.item->accessibility, SecretAccessibility::afterFirstUnlockThisDeviceOnly);
  EXPECT_EQ(
      boost::json::parse(item.item->data),
      boost::json::parse(
          R"({"accessToken":"access-1","refreshToken":"refresh-1","accessExpiresAt":786000000.25})"));
  EXPECT_EQ(loadTokens(store), first);

  // The item lives in the shared group under the daemon's own service and account.
  auto key = extensionTokensItem();
  EXPECT_EQ(key.service, "net.veskar.macos.extension.tokens");
  EXPECT_EQ(key.account, "packet-tunnel");
  EXPECT_EQ(store.copyMatching({key.service, key.account, platform::sharedAccessGroup()}).status,
            SecretStatus::success);

  // An existing item keeps the accessibility it was created with.
  ASSERT_EQ(store.remove(key), SecretStatus::success);
  ASSERT_EQ(store.add(key, "{}", SecretAccessibility::whenUnlockedThisDeviceOnly),
            SecretStatus::success);
  StoredTokenState second{"access-2", "refresh-2", runtime::Date{0}};
  saveTokens(store, second);
  EXPECT_EQ(store.copyMatching(key).item->accessibility,
            SecretAccessibility::whenUnlockedThisDeviceOnly);
  EXPECT_EQ(loadTokens(store), second);
}

TEST_F(TokenStoreTest, OnlyAWholeRecordLoads) {
  struct Case {
    std::string bytes;
    std::optional<StoredTokenState> expected;
  };
  std::vector<Case> cases = {
      // 0 is 2001-01-01 00:00:00 UTC.
      {R"({"accessToken":"a","refreshToken":"r","accessExpiresAt":0})",
       StoredTokenState{"a", "r", runtime::Date::fromUnixSeconds(978307200)}},
      {R"({"accessToken":"a","refreshToken":"r","accessExpiresAt":-1.5,"extra":1})",
       StoredTokenState{"a", "r", runtime::Date{-1.5}}},
      {R"({"accessToken":"a","accessExpiresAt":0})", std::nullopt},
      {R"({"accessToken":"a","refreshToken":null,"accessExpiresAt":0})", std::nullopt},
      {R"({"access_token":"a","refresh_token":"r","access_expires_at":0})", std::nullopt},
      {R"({"accessToken":"a","refreshToken":"r","accessExpiresAt":"2026-01-01T00:00:00Z"})",
       std::nullopt},
      {"not json", std::nullopt},
      {"", std::nullopt},
  };
  auto key = extensionTokensItem();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    store.remove(key);
    ASSERT_EQ(store.add(key, c.bytes, SecretAccessibility::afterFirstUnlockThisDeviceOnly),
              SecretStatus::success);
    EXPECT_EQ(loadTokens(store), c.expected);
  }
  // An item file that is no item at all.
  std::ofstream(store.itemPath(key), std::ios::binary) << "\x01\x02";
  EXPECT_EQ(loadTokens(store), std::nullopt);
}

TEST_F(TokenStoreTest, ARefusedWriteFailsWithTheStoresStatus) {
  platform::MemorySecretStore memory;
  StoredTokenState old{"old", "old-refresh", runtime::Date{1}};
  saveTokens(memory, old);
  using Operation = platform::MemorySecretStore::Operation;

  auto statusOfSave = [&](platform::SecretStore& target) {
    try {
      saveTokens(target, {"new", "new-refresh", runtime::Date{2}});
    } catch (const runtime::SystemError& e) {
      return e.code();
    }
    return runtime::ErrorCode();
  };
  // An update refused with anything but "not found" adds nothing and leaves the item.
  memory.refuse(Operation::update, SecretStatus::ioError);
  memory.refuse(Operation::add, SecretStatus::badParameter);
  EXPECT_EQ(statusOfSave(memory), runtime::ErrorCode(SecretStatus::ioError));
  EXPECT_EQ(statusOfSave(memory).value(), -36);
  memory.refuse(Operation::update, SecretStatus::success);
  EXPECT_EQ(loadTokens(memory), old);

  // With no item, the add's refusal is the failure.
  platform::MemorySecretStore empty;
  empty.refuse(Operation::add, SecretStatus::badParameter);
  EXPECT_EQ(statusOfSave(empty), runtime::ErrorCode(SecretStatus::badParameter));
  EXPECT_EQ(loadTokens(empty), std::nullopt);
}

}  // namespace
