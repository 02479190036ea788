#pragma once

// Throwaway certificate authorities and server certificates for TLS tests,
// made at test time with the lab's certificate code.

#include "testbed/pki/certificates.hpp"

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
  // A server certificate for these DNS names and IPv4 addresses, signed by this authority.
  Credential issue(const std::vector<std::string>& dnsNames,
                   const std::vector<std::string>& ipAddresses) const;

 private:
  testbed::KeyAndCertificate authority_;
};

}  // namespace testpki
