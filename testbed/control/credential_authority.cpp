#include "testbed/control/credential_authority.hpp"

#include "runtime/base64.hpp"

#include <stdexcept>

namespace testbed {

CredentialAuthority::CredentialAuthority(Ed25519PrivateKey signingKey,
                                         std::vector<CredentialKey> published)
    : signingKey_(std::move(signingKey)), published_(std::move(published)) {
  auto publicKey = runtime::base64::encode(signingKey_.publicKey());
  for (const auto& key : published_) {
    if (key.publicKey == publicKey) {
      keyId_ = key.keyId;
      return;
    }
  }
  throw std::runtime_error("the credential signing key is not among the published keys");
}

CredentialAuthority CredentialAuthority::load(const LabPKI& pki) {
  return CredentialAuthority(Ed25519PrivateKey::fromPEM(readTextFile(pki.credentialSigningKey)),
                             decodeCredentialKeys(readTextFile(pki.credentialKeys)));
}

std::string CredentialAuthority::issue(const CredentialClaims& claims) const {
  return createCredential(signingKey_, keyId_, claims);
}

CredentialClaims CredentialAuthority::verify(std::string_view credential, runtime::Date now) const {
  return verifyCredential(credential, published_, now);
}

}  // namespace testbed
