#include "testbed/pki/lab_pki.hpp"

#include "testbed/credential/credential.hpp"
#include "testbed/pki/certificates.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace testbed {

namespace {

constexpr unsigned privateMode = 0600;
constexpr unsigned publicMode = 0644;

void checkName(const std::string& name) {
  bool ok = !name.empty() && name.size() <= 63 && name.front() != '-' && name.back() != '-';
  for (char c : name) {
    ok = ok &&
         ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-');
  }
  if (!ok) throw std::invalid_argument("node name \"" + name + "\" is not a DNS label");
}

void writeAll(int fd, const std::string& text, const std::filesystem::path& path) {
  std::size_t done = 0;
  while (done < text.size()) {
    auto n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), path.string());
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void writeFileWithMode(const std::filesystem::path& path, const std::string& text, unsigned mode) {
  auto temporary = path;
  temporary += ".tmp";
  // Created with the final mode so a key is never readable by others, even briefly.
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), temporary.string());
  try {
    if (::fchmod(fd, mode) != 0) {
      throw std::system_error(errno, std::generic_category(), temporary.string());
    }
    writeAll(fd, text, temporary);
    if (::fsync(fd) != 0) {
      throw std::system_error(errno, std::generic_category(), temporary.string());
    }
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  ::close(fd);
  std::filesystem::rename(temporary, path);
}

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
  writeFileWithMode(paths.nodeCA(), certificatePEM(nodeCA.certificate.get()), publicMode);
  writeFileWithMode(paths.nodeCAKey(), privateKeyPEM(nodeCA.key.get()), privateMode);
  for (const auto& node : options.nodes) {
    auto issued =
        issueServerCertificate(nodeCA, node.name, {node.name}, {node.ipv4Address}, validity);
    writeFileWithMode(paths.nodeCertificate(node.name), certificatePEM(issued.certificate.get()),
                      publicMode);
    writeFileWithMode(paths.nodeKey(node.name), privateKeyPEM(issued.key.get()), privateMode);
  }

  auto controlCA = createCertificateAuthority("Veskar lab control CA", validity);
  writeFileWithMode(paths.controlCA(), certificatePEM(controlCA.certificate.get()), publicMode);
  writeFileWithMode(paths.controlCAKey(), privateKeyPEM(controlCA.key.get()), privateMode);
  auto commonName =
      options.controlNames.empty() ? options.controlAddresses.front() : options.controlNames[0];
  auto control = issueServerCertificate(controlCA, commonName, options.controlNames,
                                        options.controlAddresses, validity);
  writeFileWithMode(paths.controlCertificate(), certificatePEM(control.certificate.get()),
                    publicMode);
  writeFileWithMode(paths.controlKey(), privateKeyPEM(control.key.get()), privateMode);

  auto signing = Ed25519PrivateKey::generate();
  writeFileWithMode(paths.credentialSigningKey(), signing.toPEM(), privateMode);
  std::vector<CredentialKey> keys{publishedKey(options.credentialKeyId, signing.publicKey(),
                                               validity.notBefore, validity.notAfter)};
  writeFileWithMode(paths.credentialKeys(), encodeCredentialKeys(keys) + "\n", publicMode);
  return paths;
}

}  // namespace testbed
