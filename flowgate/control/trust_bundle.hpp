#pragma once

// The node trust bundle the control server publishes: the certificate
// authorities node certificates must chain to, and the device credential keys.

#include "platform/openssl_ptr.hpp"
#include "runtime/error.hpp"

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace flowgate {

struct CredentialKey {
  std::string keyId;
  std::string algorithm;
  std::string publicKey;
  std::string notBefore;
  std::string notAfter;

  friend bool operator==(const CredentialKey&, const CredentialKey&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("keyId", self.keyId);
    field("algorithm", self.algorithm);
    field("publicKey", self.publicKey);
    field("notBefore", self.notBefore);
    field("notAfter", self.notAfter);
  }
};

struct TrustBundle {
  std::uint64_t version = 0;
  std::string issuedAt;
  std::vector<std::string> nodeTlsCaCertificates;
  std::vector<CredentialKey> deviceCredentialKeys;

  friend bool operator==(const TrustBundle&, const TrustBundle&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("version", self.version);
    field("issuedAt", self.issuedAt);
    field("nodeTlsCaCertificates", self.nodeTlsCaCertificates);
    field("deviceCredentialKeys", self.deviceCredentialKeys);
  }
};

enum class TrustStoreError {
  invalidBundle = 1,
  rollback,
  unavailable,
};

inline runtime::ErrorCode make_error_code(TrustStoreError e) { return runtime::makeErrorCode(e); }

using Certificate = platform::openssl::UniquePtr<X509>;

// One certificate per PEM entry, in order: marker lines ("---...") dropped, the
// rest joined and read as strict standard Base64 DER. Any entry that fails, or
// an empty list, throws TrustStoreError::invalidBundle.
std::vector<Certificate> certificates(const TrustBundle& bundle);

// Decodes bundle JSON (snake_case keys, or the field names) and validates it:
// version not 0, certificate and key lists not empty, every certificate good.
// Undecodable JSON passes its decoder error through.
TrustBundle decodeTrustBundle(std::span<const std::uint8_t> json);

}  // namespace flowgate

template <>
struct runtime::ErrorTraits<flowgate::TrustStoreError> {
  static constexpr const char* name = "flowgate.trust-store";
  static std::string_view description(flowgate::TrustStoreError e) {
    switch (e) {
      case flowgate::TrustStoreError::invalidBundle: return "invalidBundle";
      case flowgate::TrustStoreError::rollback: return "rollback";
      case flowgate::TrustStoreError::unavailable: return "unavailable";
    }
    return "unknown";
  }
};

VESKAR_ERROR_CODE_ENUM(flowgate::TrustStoreError);
