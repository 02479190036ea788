#include "runtime/ipv4.hpp"
#include "testbed/control/api_error.hpp"
#include "testbed/control/device_registry.hpp"
#include "testbed/control/password_hash.hpp"

#include <gtest/gtest.h>

#include <set>

namespace testbed {
namespace {

TEST(PasswordHashTest, VerifiesOnlyTheRightPasswordAndWellFormedHashes) {
  auto hash = hashPassword("lab-password", 1000);
  EXPECT_TRUE(hash.starts_with("pbkdf2-sha256$1000$"));
  EXPECT_TRUE(verifyPassword("lab-password", hash));
  EXPECT_FALSE(verifyPassword("lab-passwore", hash));
  EXPECT_FALSE(verifyPassword("", hash));
  // Salted: the same password hashes differently each time.
  EXPECT_NE(hashPassword("lab-password", 1000), hash);
  for (const char* bad :
       {"", "lab-password", "pbkdf2-sha256$0$AAAA$AAAA", "pbkdf2-sha1$1000$c2FsdA==$AAAA",
        "pbkdf2-sha256$x$c2FsdA==$AAAA", "pbkdf2-sha256$99999999999$c2FsdA==$AAAA"}) {
    EXPECT_FALSE(isPasswordHash(bad)) << bad;
    EXPECT_FALSE(verifyPassword("lab-password", bad)) << bad;
  }
}

TEST(DeviceRegistryTest, LeasesEveryUsableAddressOnceAndThenRefuses) {
  // A /29 has six host addresses; one is reserved.
  DeviceRegistry registry("198.19.0.0/29", {"198.19.0.3"});
  std::set<std::string> leased;
  for (int i = 0; i < 5; ++i) {
    const auto& device = registry.authorize("key-" + std::to_string(i), runtime::Date{0});
    leased.insert(runtime::ipv4::dottedQuad(device.address));
  }
  EXPECT_EQ(leased, (std::set<std::string>{"198.19.0.1", "198.19.0.2", "198.19.0.4", "198.19.0.5",
                                           "198.19.0.6"}));
  try {
    registry.authorize("one-too-many", runtime::Date{0});
    ADD_FAILURE();
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 503u);
    EXPECT_EQ(e.code(), "address_pool_exhausted");
  }
  // A known device still gets its own address, and a move needs a free one.
  EXPECT_EQ(runtime::ipv4::dottedQuad(registry.authorize("key-0", runtime::Date{5}).address),
            "198.19.0.1");
  EXPECT_EQ(registry.move("key-0"), nullptr);
}

TEST(DeviceRegistryTest, MovingADeviceFreesItsOldAddress) {
  DeviceRegistry registry("198.19.0.0/30", {});
  auto first = registry.authorize("a", runtime::Date{0}).address;
  const auto* moved = registry.move("a");
  ASSERT_NE(moved, nullptr);
  EXPECT_NE(moved->address, first);
  EXPECT_EQ(registry.authorize("b", runtime::Date{0}).address, first);
  EXPECT_EQ(registry.findByID(moved->deviceID)->deviceKey, "a");
  EXPECT_THROW(DeviceRegistry("198.19.0.0/31", {}), std::invalid_argument);
  EXPECT_THROW(DeviceRegistry("198.19.0.0/16", {"dns"}), std::invalid_argument);
}

}  // namespace
}  // namespace testbed
