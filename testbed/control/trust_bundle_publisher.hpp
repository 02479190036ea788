#pragma once

// The trust bundle the control server publishes: the node authorities and the
// credential keys, under a version the admin interface can move.

#include "flowgate/control/trust_bundle.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/credential/credential.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace testbed {

class TrustBundlePublisher {
 public:
  // Reads the authorities' PEM files. Throws std::runtime_error when one is
  // missing or the result would not be a valid bundle.
  TrustBundlePublisher(const LabPKI& pki, const std::vector<CredentialKey>& keys,
                       std::uint64_t version, std::string issuedAt);

  const flowgate::TrustBundle& bundle() const { return bundle_; }
  // The bundle in the control server's form (snake_case keys).
  std::string json() const;

  void setVersion(std::uint64_t version, std::string issuedAt);

 private:
  flowgate::TrustBundle bundle_;
};

}  // namespace testbed
