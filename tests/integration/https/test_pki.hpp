#pragma once

// Throwaway certificate authorities and server certificates for TLS tests,
// made with the OpenSSL API at test time.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace testpki {

struct Credential {
  std::string certificatePem;
  std::string keyPem;
};

class Authority {
 public:
  explicit Authority(const std::string& commonName);

  std::string certificatePem() const;
  // A server certificate for these DNS names and IP addresses, signed by this authority.
  Credential issue(const std::vector<std::string>& dnsNames,
                   const std::vector<std::string>& ipAddresses) const;

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
  };
  std::unique_ptr<EVP_PKEY, KeyFree> key_;
  std::unique_ptr<X509, CertificateFree> certificate_;
};

}  // namespace testpki
