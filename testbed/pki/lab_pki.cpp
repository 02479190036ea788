#include "testbed/pki/lab_pki.hpp"

#include "testbed/credential/credential.hpp"
#include "testbed/pki/certificates.hpp"

#include "platform/atomic_file.hpp"

#include <stdexcept>

namespace testbed {

namespace {

constexpr mode_t privateMode = 0600;
constexpr mode_t publicMode = 0644;

void checkName(const std::string& name) {
  bool ok = !name.empty() && name.size() <= 63 && name.front() != '-' && name.back() != '-';
  for (char c : name) {
    ok = ok &&
         ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-');
  }
  if (!ok) throw std::invalid_argument("node name \"" + name + "\" is not a DNS label");
}

}  // namespace

LabPaths createLabPKI(const LabPKIOptions& options) {
  for (const auto& node : options.nodes) checkName(node.name);
  if (options.controlNames.empty() && options.controlAddresses.empty()) {
    throw std::invalid_argument("the control server needs a name or an address");
  }
  if (options.credentialKeyId.empty()) throw std::invalid_argument("empty credential key id");
  if (options.validityDays < 1) throw std::invalid_argument("validity must be at least one day");

  LabPaths paths{options.directory};
  std::filesystem::create_directories(options.directory / "nodes");
  Validity validity{options.now - 3600,
                    options.now + static_cast<std::int64_t>(options.validityDays) * 86400};

  auto nodeCA = createCertificateAuthority("Veskar lab node CA", validity);
  platform::writeFileAtomically(paths.nodeCA(), certificatePEM(nodeCA.certificate.get()),
                                publicMode);
  platform::writeFileAtomically(paths.nodeCAKey(), privateKeyPEM(nodeCA.key.get()), privateMode);
  for (const auto& node : options.nodes) {
    auto issued =
        issueServerCertificate(nodeCA, node.name, {node.name}, {node.ipv4Address}, validity);
    platform::writeFileAtomically(paths.nodeCertificate(node.name),
                                  certificatePEM(issued.certificate.get()), publicMode);
    platform::writeFileAtomically(paths.nodeKey(node.name), privateKeyPEM(issued.key.get()),
                                  privateMode);
  }

  auto controlCA = createCertificateAuthority("Veskar lab control CA", validity);
  platform::writeFileAtomically(paths.controlCA(), certificatePEM(controlCA.certificate.get()),
                                publicMode);
  platform::writeFileAtomically(paths.controlCAKey(), privateKeyPEM(controlCA.key.get()),
                                privateMode);
  auto commonName =
      options.controlNames.empty() ? options.controlAddresses.front() : options.controlNames[0];
  auto control = issueServerCertificate(controlCA, commonName, options.controlNames,
                                        options.controlAddresses, validity);
  platform::writeFileAtomically(paths.controlCertificate(),
                                certificatePEM(control.certificate.get()), publicMode);
  platform::writeFileAtomically(paths.controlKey(), privateKeyPEM(control.key.get()), privateMode);

  auto signing = Ed25519PrivateKey::generate();
  platform::writeFileAtomically(paths.credentialSigningKey(), signing.toPEM(), privateMode);
  std::vector<CredentialKey> keys{publishedKey(options.credentialKeyId, signing.publicKey(),
                                               validity.notBefore, validity.notAfter)};
  platform::writeFileAtomically(paths.credentialKeys(), encodeCredentialKeys(keys) + "\n",
                                publicMode);
  return paths;
}

}  // namespace testbed
