#include "testbed/control/lab_file.hpp"

#include "runtime/json_codec.hpp"
#include "testbed/control/password_hash.hpp"

#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace testbed {

namespace {

void makeAbsolute(std::string& path, const std::filesystem::path& base) {
  std::filesystem::path value(path);
  if (value.is_relative()) path = (base / value).lexically_normal().string();
}

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("lab file: " + what);
}

}  // namespace

std::string readTextFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

LabFile loadLabFile(const std::filesystem::path& path) {
  LabFile lab;
  try {
    lab =
        runtime::json::decodeText<LabFile>(readTextFile(path), runtime::json::KeyStyle::snakeCase);
  } catch (const runtime::SystemError& e) {
    throw std::runtime_error("lab file " + path.string() + ": " + e.what());
  }

  std::set<std::string> phones;
  for (const auto& account : lab.accounts) {
    check(isPasswordHash(account.passwordHash),
          "password_hash of " + account.phone + " is not pbkdf2-sha256$ITERATIONS$SALT$HASH");
    check(phones.insert(account.phone).second, "phone " + account.phone + " listed twice");
  }
  if (lab.lifetimes) {
    for (auto value : {lab.lifetimes->accessTokenSeconds, lab.lifetimes->refreshTokenSeconds,
                       lab.lifetimes->credentialSeconds, lab.lifetimes->leaseSeconds}) {
      check(!value || *value > 0, "lifetimes must be positive");
    }
  }
  std::set<std::uint64_t> ids;
  for (const auto& node : lab.config.nodes) {
    check(ids.insert(node.id).second, "node id " + std::to_string(node.id) + " listed twice");
  }
  check(lab.trustBundleVersion.value_or(1) != 0, "trust_bundle_version must not be 0");

  auto base = std::filesystem::absolute(path).parent_path();
  makeAbsolute(lab.pki.serverCertificate, base);
  makeAbsolute(lab.pki.serverKey, base);
  makeAbsolute(lab.pki.credentialSigningKey, base);
  makeAbsolute(lab.pki.credentialKeys, base);
  for (auto& certificate : lab.pki.nodeCaCertificates) makeAbsolute(certificate, base);
  if (lab.geoip) {
    makeAbsolute(lab.geoip->table, base);
    if (lab.geoip->manifest) makeAbsolute(*lab.geoip->manifest, base);
  }
  return lab;
}

}  // namespace testbed
