#pragma once

// Device credentials: the compact token base64url(JSON payload) "."
// base64url(Ed25519 signature over the first part's ASCII text). The control
// server issues them and relay nodes check them against the signing keys that
// the trust bundle publishes as `deviceCredentialKeys`.
//
// Payload keys: "keyId", "deviceID" (u64), "vpnIPv4" (dotted quad), "issuedAt",
// "notBefore", "expiresAt" (unix seconds).

#include "flowgate/control/trust_bundle.hpp"
#include "runtime/date.hpp"
#include "runtime/error.hpp"
#include "testbed/credential/ed25519.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testbed {

enum class CredentialError {
  malformed = 1,
  unknownKey,
  tampered,
  expired,
  notYetValid,
  outsideKeyValidity,
};

inline runtime::ErrorCode make_error_code(CredentialError e) { return runtime::makeErrorCode(e); }

struct CredentialClaims {
  std::uint64_t deviceID = 0;
  std::string vpnIPv4;         // the device's tunnel address
  std::int64_t issuedAt = 0;   // unix seconds
  std::int64_t notBefore = 0;  // unix seconds
  std::int64_t expiresAt = 0;  // unix seconds; invalid from this second on

  friend bool operator==(const CredentialClaims&, const CredentialClaims&) = default;
};

// A signing key as published: `algorithm` "ed25519", `publicKey` the standard
// Base64 of the raw 32-byte key, `notBefore`/`notAfter` UTC text
// ("2025-01-31T12:00:00Z"), both ends inclusive.
using CredentialKey = flowgate::CredentialKey;

CredentialKey publishedKey(std::string keyId, const Ed25519PublicKey& publicKey,
                           std::int64_t notBefore, std::int64_t notAfter);

std::string createCredential(const Ed25519PrivateKey& privateKey, std::string_view keyId,
                             const CredentialClaims& claims);

// The claims of a token signed by one of `keys` that is valid at `now`; throws
// CredentialError otherwise. Checks in order: token shape and payload
// (malformed), key id among the usable keys (unknownKey), signature (tampered),
// the key's validity window (outsideKeyValidity), notBefore (notYetValid) and
// expiresAt (expired).
CredentialClaims verifyCredential(std::string_view token, std::span<const CredentialKey> keys,
                                  runtime::Date now);

// Keys files: an object whose "deviceCredentialKeys" (or
// "device_credential_keys", as in a trust bundle) lists the keys, or a bare list.
// Every entry must be usable (Ed25519, 32-byte key, readable window, not
// reversed); otherwise std::invalid_argument names the entry. JSON errors pass
// through.
std::vector<CredentialKey> decodeCredentialKeys(std::string_view json);
std::string encodeCredentialKeys(std::span<const CredentialKey> keys);

}  // namespace testbed

template <>
struct runtime::ErrorTraits<testbed::CredentialError> {
  static constexpr const char* name = "testbed.credential";
  static std::string_view description(testbed::CredentialError e) {
    using enum testbed::CredentialError;
    switch (e) {
      case malformed: return "Malformed credential";
      case unknownKey: return "Credential signed by an unknown key";
      case tampered: return "Credential signature does not match";
      case expired: return "Credential expired";
      case notYetValid: return "Credential not yet valid";
      case outsideKeyValidity: return "Credential key outside its validity window";
    }
    return "Credential error";
  }
};

VESKAR_ERROR_CODE_ENUM(testbed::CredentialError);
