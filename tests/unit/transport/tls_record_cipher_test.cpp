#include "flowgate/transport/tls_record_cipher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using flowgate::TLSRecordCipher;
using Type = TLSRecordCipher::ContentType;

namespace {

std::vector<std::uint8_t> secretOf(std::size_t size) { return std::vector<std::uint8_t>(size, 7); }

std::vector<std::uint8_t> sealed(TLSRecordCipher& cipher, Type type, const std::string& text) {
  std::vector<std::uint8_t> record(text.size() + TLSRecordCipher::overhead);
  cipher.seal(type, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
              record.data());
  return record;
}

// Opens in place, as the channel does when the caller's room is short.
std::optional<std::string> opened(TLSRecordCipher& cipher, std::vector<std::uint8_t> record) {
  auto header = std::span<const std::uint8_t, TLSRecordCipher::headerSize>(
      record.data(), TLSRecordCipher::headerSize);
  auto body = std::span(record).subspan(TLSRecordCipher::headerSize);
  auto result = cipher.open(header, body, body.data());
  if (!result || result->type != Type::applicationData) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(body.data()), result->size);
}

}  // namespace

// Each suite against the TLS library itself: the channel's tests.
TEST(TLSRecordCipher, ADamagedReplayedOrEmptyRecordIsRefused) {
  EXPECT_FALSE(TLSRecordCipher::make(0x1304, secretOf(32)));  // CCM is never offered
  EXPECT_FALSE(TLSRecordCipher::make(0x1301, secretOf(48)));
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
