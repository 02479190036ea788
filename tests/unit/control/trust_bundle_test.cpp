#include "flowgate/control/trust_bundle.hpp"
#include "runtime/json_codec.hpp"
#include "test_certificate.hpp"

#include <gtest/gtest.h>

using namespace flowgate;

namespace {

CredentialKey key() {
  return {"k1", "ed25519", "AAAA", "2026-01-01T00:00:00Z", "2027-01-01T00:00:00Z"};
}

runtime::ErrorCode errorOf(const TrustBundle& bundle) {
  try {
    certificates(bundle);
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(BundleCertificates, AcceptsPEMWithAnyLineLayout) {
  const std::string variants[] = {
      kPEM,
      "-----BEGIN CERTIFICATE-----\n" + kBody + "\n-----END CERTIFICATE-----",  // one body line
      "-----BEGIN CERTIFICATE-----\r\n" + kBody + "\r\n-----END CERTIFICATE-----\r\n",
      kBody,  // no marker lines at all
  };
  for (const auto& pem : variants) {
    TrustBundle bundle{1, "t", {pem}, {key()}};
    auto made = certificates(bundle);
    ASSERT_EQ(made.size(), 1u) << pem;
    EXPECT_NE(made[0], nullptr);
  }
  // Every line break a JSON string may carry splits lines, markers included.
  for (std::string separator : {"\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    auto pem = "-----BEGIN CERTIFICATE-----" + separator + kBody.substr(0, 64) + separator +
               kBody.substr(64) + separator + "-----END CERTIFICATE-----" + separator;
    TrustBundle bundle{1, "t", {pem}, {key()}};
    EXPECT_EQ(certificates(bundle).size(), 1u) << separator;
  }
  TrustBundle two{1, "t", {kPEM, kPEM}, {key()}};
  EXPECT_EQ(certificates(two).size(), 2u);
}

TEST(BundleCertificates, OneBadEntryInvalidatesTheBundle) {
  auto spaced = kBody;
  spaced.insert(10, " ");
  auto truncated = kBody.substr(0, kBody.size() - 8);
  const std::string bad[] = {
      spaced, truncated,      "not base64 at all!",
      "",     kBody + "AAAA", "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----"};
  for (const auto& entry : bad) {
    TrustBundle bundle{1, "t", {kPEM, entry}, {key()}};
    EXPECT_EQ(errorOf(bundle), TrustStoreError::invalidBundle) << entry;
  }
  EXPECT_EQ(errorOf(TrustBundle{1, "t", {}, {key()}}), TrustStoreError::invalidBundle);
}

TEST(BundleDecoding, ReadsSnakeCaseKeysAndValidates) {
  auto json = R"({"version": 7, "issued_at": "2026-12-01T00:00:00Z",
      "node_tls_ca_certificates": [")" +
              std::string(kBody) + R"("],
      "device_credential_keys": [{"key_id": "k1", "algorithm": "ed25519", "public_key": "AAAA",
                                  "not_before": "a", "not_after": "b"}], "extra": 1})";
  auto bundle = decodeTrustBundle(bytesOf(json));
  EXPECT_EQ(bundle.version, 7u);
  EXPECT_EQ(bundle.deviceCredentialKeys.at(0).keyId, "k1");
  // The field names themselves are accepted too.
  auto camel = runtime::json::encodeText(bundle);
  EXPECT_EQ(decodeTrustBundle(bytesOf(camel)), bundle);
}

TEST(BundleDecoding, RejectsVersionZeroAndEmptyLists) {
  TrustBundle good{3, "t", {kPEM}, {key()}};
  auto withVersion0 = good;
  withVersion0.version = 0;
  auto withoutKeys = good;
  withoutKeys.deviceCredentialKeys.clear();
  auto withoutCertificates = good;
  withoutCertificates.nodeTlsCaCertificates.clear();
  for (const auto& bundle : {withVersion0, withoutKeys, withoutCertificates}) {
    try {
      decodeTrustBundle(bytesOf(runtime::json::encodeText(bundle)));
      ADD_FAILURE();
    } catch (const runtime::SystemError& e) {
      EXPECT_EQ(e.code(), TrustStoreError::invalidBundle);
    }
  }
  // Missing fields are the decoder's error, not a bundle error.
  EXPECT_THROW(decodeTrustBundle(bytesOf(R"({"version": 1})")), runtime::SystemError);
}
