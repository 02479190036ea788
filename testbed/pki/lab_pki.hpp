#pragma once

// The lab's whole PKI written into one directory:
//
//   node-ca.pem, node-ca.key            authority of the relay nodes' TLS
//   nodes/NAME.pem, nodes/NAME.key      one certificate per node (DNS:NAME, IP:ADDRESS)
//   control-ca.pem, control-ca.key      authority of the control server's HTTPS
//   control.pem, control.key            the control server's certificate
//   credential-signing.key              Ed25519 key that signs device credentials
//   credential-keys.json                its public half as `deviceCredentialKeys`
//
// Private keys are PEM (PKCS#8) with mode 0600; everything else 0644.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testbed {

struct LabNode {
  std::string name;  // a DNS label; also the file name
  std::string ipv4Address;
};

struct LabPKIOptions {
  std::filesystem::path directory;
  std::vector<LabNode> nodes;
  std::vector<std::string> controlNames;
  std::vector<std::string> controlAddresses;
  std::string credentialKeyId = "lab-1";
  std::int64_t now = 0;  // unix seconds; everything is valid from an hour before
  int validityDays = 365;
};

struct LabPaths {
  std::filesystem::path directory;

  std::filesystem::path nodeCA() const { return directory / "node-ca.pem"; }
  std::filesystem::path nodeCAKey() const { return directory / "node-ca.key"; }
  std::filesystem::path nodeCertificate(const std::string& name) const {
    return directory / "nodes" / (name + ".pem");
  }
  std::filesystem::path nodeKey(const std::string& name) const {
    return directory / "nodes" / (name + ".key");
  }
  std::filesystem::path controlCA() const { return directory / "control-ca.pem"; }
  std::filesystem::path controlCAKey() const { return directory / "control-ca.key"; }
  std::filesystem::path controlCertificate() const { return directory / "control.pem"; }
  std::filesystem::path controlKey() const { return directory / "control.key"; }
  std::filesystem::path credentialSigningKey() const {
    return directory / "credential-signing.key";
  }
  std::filesystem::path credentialKeys() const { return directory / "credential-keys.json"; }
};

// Creates the directory (and nodes/) when missing and overwrites the files.
// Throws std::invalid_argument for bad names or addresses, filesystem errors as
// they come.
LabPaths createLabPKI(const LabPKIOptions& options);

}  // namespace testbed
