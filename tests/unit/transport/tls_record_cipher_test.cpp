#include "flowgate/transport/tls_record_cipher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using flowgate::TLSRecordCipher;
using Type = TLSRecordCipher::ContentType;

namespace {

std::vector<std::uint8_t> secretOf(std::size_t size) {
  std::vector<std::uint8_t> secret(size);
  for (std::size_t i = 0; i < size; ++i) secret[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return secret;
}

std::vector<std::uint8_t> sealed(TLSRecordCipher& cipher, Type type, const std::string& text) {
  std::vector<std::uint8_t> record(text.size() + TLSRecordCipher::overhead);
  cipher.seal(type, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
              record.data());
  return record;
}

// Opens in place, as the channel does when the caller's room is short.
std::optional<std::string> opened(TLSRecordCipher& cipher, std::vector<std::uint8_t> record,
                                  Type expected = Type::applicationData) {
  auto header = std::span<const std::uint8_t, TLSRecordCipher::headerSize>(
      record.data(), TLSRecordCipher::headerSize);
  auto body = std::span(record).subspan(TLSRecordCipher::headerSize);
  auto result = cipher.open(header, body, body.data());
  if (!result || result->type != expected) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(body.data()), result->size);
}

}  // namespace

TEST(TLSRecordCipher, EachSuiteOpensWhatItSealsInOrderAndAcrossKeyUpdates) {
  for (auto [suite, hash] : {std::pair{0x1301, 32}, {0x1302, 48}, {0x1303, 32}}) {
    SCOPED_TRACE(suite);
    auto sealer = TLSRecordCipher::make(static_cast<std::uint16_t>(suite), secretOf(hash));
    auto opener = TLSRecordCipher::make(static_cast<std::uint16_t>(suite), secretOf(hash));
    ASSERT_TRUE(sealer && opener);
    auto first = sealed(*sealer, Type::applicationData, "first");
    EXPECT_EQ(first.size(), 5 + TLSRecordCipher::overhead);
    EXPECT_EQ(first[0], 23);  // every protected record looks like application data
    EXPECT_EQ((first[3] << 8 | first[4]), 5 + 1 + 16);
    EXPECT_EQ(opened(*opener, first), "first");
    EXPECT_EQ(opened(*opener, sealed(*sealer, Type::handshake, "hs"), Type::handshake), "hs");

    ASSERT_TRUE(sealer->update());
    auto afterUpdate = sealed(*sealer, Type::applicationData, "next");
    EXPECT_EQ(opened(*opener, afterUpdate), std::nullopt);  // still on the old key
    ASSERT_TRUE(opener->update());
    EXPECT_EQ(opened(*opener, afterUpdate), "next");
  }
  EXPECT_FALSE(TLSRecordCipher::make(0x1304, secretOf(32)));  // CCM is never offered
  EXPECT_FALSE(TLSRecordCipher::make(0x1301, secretOf(48)));
}

TEST(TLSRecordCipher, ADamagedReplayedOrEmptyRecordIsRefused) {
  auto sealer = TLSRecordCipher::make(0x1301, secretOf(32));
  auto opener = TLSRecordCipher::make(0x1301, secretOf(32));
  auto record = sealed(*sealer, Type::applicationData, "payload");
  // A flipped bit anywhere, the length in the header included, fails the tag;
  // a failed record leaves the sequence where it was.
  for (std::size_t at : {std::size_t{2}, std::size_t{4}, std::size_t{6}, record.size() - 1}) {
    auto damaged = record;
    damaged[at] ^= 0x01;
    EXPECT_EQ(opened(*opener, damaged), std::nullopt) << at;
  }
  EXPECT_EQ(opened(*opener, record), "payload");
  EXPECT_EQ(opened(*opener, record), std::nullopt);  // its sequence number is used up

  // Padding after the content type is dropped; a record of nothing but
  // padding has no type and is refused.
  const std::string padded = std::string("abc") + '\x17' + std::string(3, '\0');
  EXPECT_EQ(opened(*opener, sealed(*sealer, Type{0}, padded)), "abc");
  EXPECT_EQ(opened(*opener, sealed(*sealer, Type{0}, std::string(4, '\0'))), std::nullopt);
}
