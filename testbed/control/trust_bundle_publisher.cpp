#include "testbed/control/trust_bundle_publisher.hpp"

#include "runtime/json_codec.hpp"
#include "runtime/key_case.hpp"

#include <stdexcept>

namespace testbed {

TrustBundlePublisher::TrustBundlePublisher(const LabPKI& pki,
                                           const std::vector<CredentialKey>& keys,
                                           std::uint64_t version, std::string issuedAt) {
  bundle_.version = version;
  bundle_.issuedAt = std::move(issuedAt);
  for (const auto& path : pki.nodeCaCertificates) {
    bundle_.nodeTlsCaCertificates.push_back(readTextFile(path));
  }
  for (const auto& key : keys) {
    bundle_.deviceCredentialKeys.push_back(
        {key.keyId, key.algorithm, key.publicKey, key.notBefore, key.notAfter});
  }
  // What the daemon would refuse is refused here, at start.
  auto text = json();
  try {
    flowgate::decodeTrustBundle(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("trust bundle would not be valid: ") + e.what());
  }
}

std::string TrustBundlePublisher::json() const {
  return boost::json::serialize(runtime::withSnakeCaseKeys(runtime::json::encode(bundle_)));
}

void TrustBundlePublisher::setVersion(std::uint64_t version, std::string issuedAt) {
  bundle_.version = version;
  bundle_.issuedAt = std::move(issuedAt);
}

}  // namespace testbed
