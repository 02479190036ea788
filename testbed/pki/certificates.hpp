#pragma once

// Certificates for the lab: P-256 keys, a self-signed authority, and server
// certificates it signs with the names and addresses in subjectAltName.

#include "platform/openssl_ptr.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testbed {

using PrivateKey = platform::openssl::UniquePtr<EVP_PKEY>;
using Certificate = platform::openssl::UniquePtr<X509>;

struct KeyAndCertificate {
  PrivateKey key;
  Certificate certificate;
};

// Validity in unix seconds.
struct Validity {
  std::int64_t notBefore;
  std::int64_t notAfter;
};

KeyAndCertificate createCertificateAuthority(const std::string& commonName, Validity validity);

// A TLS server certificate signed by `authority`; `dnsNames` and `ipv4Addresses`
// (dotted quads) go into subjectAltName. Throws std::invalid_argument on a bad
// address.
KeyAndCertificate issueServerCertificate(const KeyAndCertificate& authority,
                                         const std::string& commonName,
                                         const std::vector<std::string>& dnsNames,
                                         const std::vector<std::string>& ipv4Addresses,
                                         Validity validity);

std::string certificatePEM(const X509* certificate);
std::string privateKeyPEM(const EVP_PKEY* key);  // PKCS#8, unencrypted

}  // namespace testbed
