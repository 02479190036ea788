#pragma once

// A lab PKI in a temporary directory for one test program, with helpers that
// issue device credentials signed by its key (or by a stranger's).

#include "flowgate/control/trust_bundle.hpp"
#include "testbed/credential/credential.hpp"
#include "testbed/pki/lab_pki.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class Lab {
 public:
  static constexpr const char* keyId = "lab-test";

  // Nodes named relay-a, relay-b, ... all on `nodeAddress`.
  explicit Lab(int nodeCount = 3, std::string nodeAddress = "127.0.0.1");
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  const testbed::LabPaths& paths() const { return paths_; }
  std::string nodeName(int index) const { return "relay-" + std::string(1, char('a' + index)); }

  // testbed-relay arguments for node `index`, listening on 127.0.0.1:0.
  std::vector<std::string> relayArguments(int index,
                                          const std::string& listen = "127.0.0.1:0") const;

  // A trust bundle that anchors the lab's node certificates.
  flowgate::TrustBundle trustBundle() const;

  static std::int64_t now();
  testbed::CredentialClaims claims(std::uint64_t deviceID, const std::string& vpnIPv4,
                                   std::int64_t validFor = 3600) const;
  std::string credential(std::uint64_t deviceID, const std::string& vpnIPv4,
                         std::int64_t validFor = 3600) const;
  std::string credential(const testbed::CredentialClaims& claims) const;
  const testbed::Ed25519PrivateKey& signingKey() const { return signingKey_; }

 private:
  std::string directory_;
  testbed::LabPaths paths_;
  testbed::Ed25519PrivateKey signingKey_;
};

}  // namespace testsupport
