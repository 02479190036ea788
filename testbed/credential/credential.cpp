#include "testbed/credential/credential.hpp"

#include "runtime/base64.hpp"
#include "runtime/ipv4.hpp"
#include "runtime/json_codec.hpp"
#include "testbed/credential/utc_time.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace testbed {

namespace {

// Tokens larger than this cannot travel in an authentication frame anyway.
constexpr std::size_t maxTokenSize = 65535;

struct TokenPayload {
  std::string keyId;
  std::uint64_t deviceID = 0;
  std::string vpnIPv4;
  std::int64_t issuedAt = 0;
  std::int64_t notBefore = 0;
  std::int64_t expiresAt = 0;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("keyId", self.keyId);
    field("deviceID", self.deviceID);
    field("vpnIPv4", self.vpnIPv4);
    field("issuedAt", self.issuedAt);
    field("notBefore", self.notBefore);
    field("expiresAt", self.expiresAt);
  }
};

struct KeysFile {
  std::vector<CredentialKey> deviceCredentialKeys;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("deviceCredentialKeys", self.deviceCredentialKeys);
  }
};

std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isEd25519(std::string_view algorithm) {
  constexpr std::string_view name = "ed25519";
  return std::equal(algorithm.begin(), algorithm.end(), name.begin(), name.end(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

struct UsableKey {
  Ed25519PublicKey publicKey;
  std::int64_t notBefore;
  std::int64_t notAfter;
};

std::optional<UsableKey> usable(const CredentialKey& key) {
  if (!isEd25519(key.algorithm)) return std::nullopt;
  auto raw = runtime::base64::decode(key.publicKey);
  auto notBefore = parseUTCTime(key.notBefore);
  auto notAfter = parseUTCTime(key.notAfter);
  if (!raw || raw->size() != sizeof(Ed25519PublicKey) || !notBefore || !notAfter ||
      *notAfter < *notBefore) {
    return std::nullopt;
  }
  UsableKey result{{}, *notBefore, *notAfter};
  std::copy(raw->begin(), raw->end(), result.publicKey.begin());
  return result;
}

TokenPayload decodePayload(std::string_view encoded) {
  auto json = runtime::base64::decodeURL(encoded);
  if (!json) runtime::fail(CredentialError::malformed);
  try {
    auto text = std::string_view(reinterpret_cast<const char*>(json->data()), json->size());
    auto payload = runtime::json::decodeText<TokenPayload>(text);
    if (!runtime::ipv4::ipv4Value(payload.vpnIPv4)) runtime::fail(CredentialError::malformed);
    return payload;
  } catch (const runtime::SystemError& e) {
    if (e.code() == CredentialError::malformed) throw;
    runtime::fail(CredentialError::malformed);
  }
}

}  // namespace

CredentialKey publishedKey(std::string keyId, const Ed25519PublicKey& publicKey,
                           std::int64_t notBefore, std::int64_t notAfter) {
  return CredentialKey{std::move(keyId), "ed25519", runtime::base64::encode(publicKey),
                       formatUTCTime(notBefore), formatUTCTime(notAfter)};
}

std::string createCredential(const Ed25519PrivateKey& privateKey, std::string_view keyId,
                             const CredentialClaims& claims) {
  TokenPayload payload{std::string(keyId), claims.deviceID,  claims.vpnIPv4,
                       claims.issuedAt,    claims.notBefore, claims.expiresAt};
  auto json = runtime::json::encodeText(payload);
  auto token = runtime::base64::encodeURL(asBytes(json));
  auto signature = privateKey.sign(asBytes(token));
  token += '.';
  token += runtime::base64::encodeURL(signature);
  return token;
}

CredentialClaims verifyCredential(std::string_view token, std::span<const CredentialKey> keys,
                                  runtime::Date now) {
  auto dot = token.find('.');
  if (token.size() > maxTokenSize || dot == std::string_view::npos || dot == 0 ||
      dot + 1 == token.size()) {
    runtime::fail(CredentialError::malformed);
  }
  auto signed_ = token.substr(0, dot);
  auto signature = runtime::base64::decodeURL(token.substr(dot + 1));
  if (!signature || signature->size() != sizeof(Ed25519Signature)) {
    runtime::fail(CredentialError::malformed);
  }
  auto payload = decodePayload(signed_);

  std::optional<UsableKey> key;
  for (const auto& candidate : keys) {
    if (candidate.keyId != payload.keyId) continue;
    key = usable(candidate);
    if (key) break;
  }
  if (!key) runtime::fail(CredentialError::unknownKey);
  if (!ed25519Verify(key->publicKey, asBytes(signed_), *signature)) {
    runtime::fail(CredentialError::tampered);
  }
  auto seconds = now.unixSeconds();
  if (seconds < static_cast<double>(key->notBefore) ||
      seconds > static_cast<double>(key->notAfter)) {
    runtime::fail(CredentialError::outsideKeyValidity);
  }
  if (seconds < static_cast<double>(payload.notBefore)) {
    runtime::fail(CredentialError::notYetValid);
  }
  if (seconds >= static_cast<double>(payload.expiresAt)) runtime::fail(CredentialError::expired);
  return CredentialClaims{payload.deviceID, std::move(payload.vpnIPv4), payload.issuedAt,
                          payload.notBefore, payload.expiresAt};
}

std::vector<CredentialKey> decodeCredentialKeys(std::string_view json) {
  auto value = boost::json::parse(json);
  std::vector<CredentialKey> keys;
  if (value.is_array()) {
    keys = runtime::json::decode<std::vector<CredentialKey>>(value);
  } else {
    keys = runtime::json::decode<KeysFile>(value, runtime::json::KeyStyle::snakeCase)
               .deviceCredentialKeys;
  }
  for (const auto& key : keys) {
    if (!usable(key)) throw std::invalid_argument("unusable credential key \"" + key.keyId + "\"");
  }
  return keys;
}

std::string encodeCredentialKeys(std::span<const CredentialKey> keys) {
  KeysFile file{std::vector<CredentialKey>(keys.begin(), keys.end())};
  return runtime::json::encodeText(file);
}

}  // namespace testbed
