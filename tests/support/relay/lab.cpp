#include "tests/support/relay/lab.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

namespace testsupport {

namespace {

std::string makeDirectory() {
  char pattern[] = "/tmp/veskar-lab-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

testbed::LabPaths create(const std::string& directory, int nodeCount,
                         const std::string& nodeAddress) {
  testbed::LabPKIOptions options;
  options.directory = directory;
  for (int i = 0; i < nodeCount; ++i) {
    options.nodes.push_back({"relay-" + std::string(1, char('a' + i)), nodeAddress});
  }
  options.controlNames = {"control.lab"};
  options.credentialKeyId = Lab::keyId;
  options.now = Lab::now();
  return testbed::createLabPKI(options);
}

}  // namespace

Lab::Lab(int nodeCount, std::string nodeAddress)
    : directory_(makeDirectory()),
      paths_(create(directory_, nodeCount, nodeAddress)),
      signingKey_(testbed::Ed25519PrivateKey::fromPEM(readFile(paths_.credentialSigningKey()))) {}

Lab::~Lab() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::vector<std::string> Lab::relayArguments(int index, const std::string& listen) const {
  return {"--listen",
          listen,
          "--cert",
          paths_.nodeCertificate(nodeName(index)).string(),
          "--key",
          paths_.nodeKey(nodeName(index)).string(),
          "--node-ca",
          paths_.nodeCA().string(),
          "--credential-keys",
          paths_.credentialKeys().string()};
}

flowgate::TrustBundle Lab::trustBundle() const {
  flowgate::CredentialKey key{keyId, "ed25519", "unused-here", "2026-01-01T00:00:00Z",
                              "2036-01-01T00:00:00Z"};
  return flowgate::TrustBundle{1, "2026-12-08T00:00:00Z", {readFile(paths_.nodeCA())}, {key}};
}

std::int64_t Lab::now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

testbed::CredentialClaims Lab::claims(std::uint64_t deviceID, const std::string& vpnIPv4,
                                      std::int64_t validFor) const {
  auto t = now();
  return {deviceID, vpnIPv4, t - 60, t - 60, t + validFor};
}

std::string Lab::credential(std::uint64_t deviceID, const std::string& vpnIPv4,
                            std::int64_t validFor) const {
  return credential(claims(deviceID, vpnIPv4, validFor));
}

std::string Lab::credential(const testbed::CredentialClaims& claims) const {
  return testbed::createCredential(signingKey_, keyId, claims);
}

}  // namespace testsupport
