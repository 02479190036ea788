#pragma once

// Issues device credentials with the lab's signing key and checks them the way
// a relay does, against the published keys.

#include "testbed/control/lab_file.hpp"
#include "testbed/credential/credential.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace testbed {

class CredentialAuthority {
 public:
  // The signing key's public half must be among `published`; its entry gives
  // the key id. Throws std::runtime_error otherwise.
  CredentialAuthority(Ed25519PrivateKey signingKey, std::vector<CredentialKey> published);
  static CredentialAuthority load(const LabPKI& pki);

  std::string issue(const CredentialClaims& claims) const;
  // Throws CredentialError, as verifyCredential does.
  CredentialClaims verify(std::string_view credential, runtime::Date now) const;

  const std::vector<CredentialKey>& publishedKeys() const { return published_; }

 private:
  Ed25519PrivateKey signingKey_;
  std::vector<CredentialKey> published_;
  std::string keyId_;
};

}  // namespace testbed
