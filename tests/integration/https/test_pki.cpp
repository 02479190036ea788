#include "test_pki.hpp"

#include <ctime>

namespace testpki {

namespace {

testbed::Validity aroundNow() {
  auto now = static_cast<std::int64_t>(std::time(nullptr));
  return {now - 3600, now + 86400};
}

}  // namespace

Authority::Authority(const std::string& commonName)
    : authority_(testbed::createCertificateAuthority(commonName, aroundNow())) {}

std::string Authority::certificatePem() const {
  return testbed::certificatePEM(authority_.certificate.get());
}

Credential Authority::issue(const std::vector<std::string>& dnsNames,
                            const std::vector<std::string>& ipAddresses) const {
  auto commonName = dnsNames.empty() ? ipAddresses.front() : dnsNames.front();
  auto issued =
      testbed::issueServerCertificate(authority_, commonName, dnsNames, ipAddresses, aroundNow());
  return {testbed::certificatePEM(issued.certificate.get()),
          testbed::privateKeyPEM(issued.key.get())};
}

}  // namespace testpki
