#include "testbed/credential/credential.hpp"
#include "runtime/base64.hpp"
#include "testbed/credential/utc_time.hpp"

#include <gtest/gtest.h>

using namespace testbed;

namespace {

constexpr std::int64_t t0 = 1'800'000'000;

runtime::Date at(std::int64_t unixSeconds) {
  return runtime::Date::fromUnixSeconds(static_cast<double>(unixSeconds));
}

runtime::ErrorCode verifyError(const std::string& token, const std::vector<CredentialKey>& keys,
                               std::int64_t now) {
  try {
    verifyCredential(token, keys, at(now));
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

std::string text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class Credentials : public ::testing::Test {
 protected:
  Ed25519PrivateKey key = Ed25519PrivateKey::generate();
  std::vector<CredentialKey> keys{publishedKey("k1", key.publicKey(), t0 - 86400, t0 + 86400)};
  CredentialClaims claims{0xffffffffffffffff, "198.19.0.2", t0 - 10, t0 - 5, t0 + 3600};

  std::string signedPayload(const std::string& json) {
    auto head = runtime::base64::encodeURL(bytes(json));
    return head + "." + runtime::base64::encodeURL(key.sign(bytes(head)));
  }
};

}  // namespace

TEST_F(Credentials, RoundTripKeepsEveryClaim) {
  auto token = createCredential(key, "k1", claims);
  EXPECT_EQ(verifyCredential(token, keys, at(t0)), claims);
  // Base64url without padding on both sides of the dot.
  EXPECT_EQ(token.find_first_of("+/="), std::string::npos);
}

TEST_F(Credentials, AnyChangeAfterSigningIsTampering) {
  auto token = createCredential(key, "k1", claims);
  auto dot = token.find('.');
  auto json = text(*runtime::base64::decodeURL(token.substr(0, dot)));
  json.replace(json.find("198.19.0.2"), 10, "198.19.0.3");
  auto edited = runtime::base64::encodeURL(bytes(json)) + token.substr(dot);
  EXPECT_EQ(verifyError(edited, keys, t0), CredentialError::tampered);

  auto flipped = token;
  flipped[dot + 5] = flipped[dot + 5] == 'A' ? 'B' : 'A';
  EXPECT_EQ(verifyError(flipped, keys, t0), CredentialError::tampered);

  auto stranger = Ed25519PrivateKey::generate();
  EXPECT_EQ(verifyError(createCredential(stranger, "k1", claims), keys, t0),
            CredentialError::tampered);
}

TEST_F(Credentials, KeysAreFoundByIdAmongUsableEntries) {
  auto token = createCredential(key, "k2", claims);
  EXPECT_EQ(verifyError(token, keys, t0), CredentialError::unknownKey);

  auto other = Ed25519PrivateKey::generate();
  std::vector<CredentialKey> rotated{
      publishedKey("k0", other.publicKey(), t0 - 10, t0 + 10),
      publishedKey("k2", key.publicKey(), t0 - 10, t0 + 10),
  };
  EXPECT_EQ(verifyCredential(token, rotated, at(t0)), claims);

  // An entry with the right id but another algorithm is no key for this token.
  rotated[1].algorithm = "rsa";
  EXPECT_EQ(verifyError(token, rotated, t0), CredentialError::unknownKey);
  rotated[1].algorithm = "Ed25519";
  EXPECT_EQ(verifyError(token, rotated, t0), runtime::ErrorCode());
}

TEST_F(Credentials, TimesAreCheckedAtTheirEdges) {
  auto token = createCredential(key, "k1", claims);
  EXPECT_EQ(verifyError(token, keys, claims.notBefore), runtime::ErrorCode());
  EXPECT_EQ(verifyError(token, keys, claims.notBefore - 1), CredentialError::notYetValid);
  EXPECT_EQ(verifyError(token, keys, claims.expiresAt - 1), runtime::ErrorCode());
  EXPECT_EQ(verifyError(token, keys, claims.expiresAt), CredentialError::expired);

  std::vector<CredentialKey> window{publishedKey("k1", key.publicKey(), t0, t0 + 100)};
  EXPECT_EQ(verifyError(token, window, t0 + 100), runtime::ErrorCode());
  EXPECT_EQ(verifyError(token, window, t0 + 101), CredentialError::outsideKeyValidity);
  EXPECT_EQ(verifyError(token, window, t0 - 1), CredentialError::outsideKeyValidity);
}

TEST_F(Credentials, MalformedTokensAreToldApart) {
  auto token = createCredential(key, "k1", claims);
  auto dot = token.find('.');
  auto head = token.substr(0, dot);
  for (const std::string& bad : {
           std::string(""),
           std::string("."),
           head,
           head + ".",
           "." + token.substr(dot + 1),
           head + ".AAAA",                  // signature of the wrong size
           head + "=" + token.substr(dot),  // padding
           "e30" + token.substr(dot),       // {} : required keys missing
           token + ".extra",
       }) {
    EXPECT_EQ(verifyError(bad, keys, t0), CredentialError::malformed) << bad;
  }
  // Well signed but not our payload shape.
  EXPECT_EQ(verifyError(signedPayload("[1,2]"), keys, t0), CredentialError::malformed);
  EXPECT_EQ(verifyError(signedPayload(R"({"keyId":"k1","deviceID":-1,"vpnIPv4":"198.19.0.2",)"
                                      R"("issuedAt":0,"notBefore":0,"expiresAt":1})"),
                        keys, t0),
            CredentialError::malformed);
  EXPECT_EQ(verifyError(signedPayload(R"({"keyId":"k1","deviceID":1,"vpnIPv4":"198.19.0",)"
                                      R"("issuedAt":0,"notBefore":0,"expiresAt":1})"),
                        keys, t0),
            CredentialError::malformed);
}

TEST(CredentialKeysFile, ReadsOwnFilesTrustBundlesAndBareLists) {
  auto key = Ed25519PrivateKey::generate();
  std::vector<CredentialKey> keys{publishedKey("a", key.publicKey(), t0, t0 + 1)};
  EXPECT_EQ(decodeCredentialKeys(encodeCredentialKeys(keys)), keys);

  auto entry = R"({"key_id":"a","algorithm":"ed25519","public_key":")" + keys[0].publicKey +
               R"(","not_before":"2027-01-15T08:00:00Z","not_after":"2027-01-15T08:00:01Z"})";
  auto bundle =
      R"({"version":3,"node_tls_ca_certificates":[],"device_credential_keys":[)" + entry + "]}";
  auto fromBundle = decodeCredentialKeys(bundle);
  ASSERT_EQ(fromBundle.size(), 1u);
  EXPECT_EQ(fromBundle[0].keyId, "a");
  EXPECT_EQ(fromBundle[0].notBefore, "2027-01-15T08:00:00Z");

  auto file = encodeCredentialKeys(keys);
  auto bareList = file.substr(file.find('['), file.rfind(']') - file.find('[') + 1);
  EXPECT_EQ(decodeCredentialKeys(bareList), keys);
}

TEST(CredentialKeysFile, RefusesKeysItCouldNeverUse) {
  auto key = Ed25519PrivateKey::generate();
  auto good = publishedKey("a", key.publicKey(), t0, t0 + 1);
  auto shortKey = good;
  shortKey.publicKey = runtime::base64::encode(std::vector<std::uint8_t>(31, 1));
  auto rsa = good;
  rsa.algorithm = "rsa-2048";
  auto reversed = publishedKey("a", key.publicKey(), t0 + 1, t0);
  auto badDate = good;
  badDate.notAfter = "tomorrow";
  for (const auto& bad : {shortKey, rsa, reversed, badDate}) {
    std::vector<CredentialKey> keys{good, bad};
    EXPECT_THROW(decodeCredentialKeys(encodeCredentialKeys(keys)), std::invalid_argument);
  }
}

TEST(Base64, DecodingIsStrict) {
  EXPECT_EQ(text(*runtime::base64::decode("aGk=")), "hi");
  EXPECT_EQ(text(*runtime::base64::decodeURL("aGk")), "hi");
  EXPECT_EQ(runtime::base64::encode(bytes("\xfb\xff")), "+/8=");
  EXPECT_EQ(runtime::base64::encodeURL(bytes("\xfb\xff")), "-_8");
  for (auto bad : {"aGk", "aGk==", "aG k=", "aGl=", "a===", "-_8="}) {
    EXPECT_FALSE(runtime::base64::decode(bad)) << bad;
  }
  for (auto bad : {"aGk=", "aGl", "a", "+/8"}) EXPECT_FALSE(runtime::base64::decodeURL(bad)) << bad;
}

TEST(UTCTime, ParsesTheControlPlaneFormOnly) {
  EXPECT_EQ(parseUTCTime("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(parseUTCTime("2024-02-29T23:59:59Z"), 1709251199);
  EXPECT_EQ(parseUTCTime("2024-02-29T23:59:59.750Z"), 1709251199);
  EXPECT_EQ(formatUTCTime(1709251199), "2024-02-29T23:59:59Z");
  for (auto bad : {"2023-02-29T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01 00:00:00Z",
                   "2024-01-01T00:00:00", "2024-01-01T00:00:00+00:00", "2024-01-01T00:00:00.Z"}) {
    EXPECT_FALSE(parseUTCTime(bad)) << bad;
  }
}
