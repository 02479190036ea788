#pragma once

// The control server's lab file: JSON with snake_case keys. Relative paths are
// taken relative to the file's own folder.
//
//   {
//     "pki": {
//       "server_certificate": "pki/control.pem",      HTTPS certificate (chain) and key
//       "server_key": "pki/control.key",
//       "node_ca_certificates": ["pki/node-ca.pem"],  the trust bundle's authorities
//       "credential_signing_key": "pki/credential-signing.key",
//       "credential_keys": "pki/credential-keys.json" the trust bundle's keys
//     },
//     "lifetimes": {                                  seconds; all optional
//       "access_token_seconds": 900, "refresh_token_seconds": 2592000,
//       "credential_seconds": 3600, "lease_seconds": 3600
//     },
//     "accounts": [{"phone": "+15550100", "password_hash": "pbkdf2-sha256$...",
//                   "public_id": "u-1001", "remaining_bytes": 1, "recharge_baseline_bytes": 2}],
//     "trust_bundle_version": 1,                      optional, default 1
//     "reserved_addresses": ["198.19.0.1"],           optional; never leased
//     "geoip": {"table": "geoip/geoip.bin",           optional; the manifest is
//               "manifest": "geoip/manifest.json"},   optional too (made from the table)
//     "config": { ... }                               the tunnel configuration handed
//   }                                                 out at authorization, in the
//                                                     control server's form; its
//                                                     "geoip" is the current manifest

#include "flowgate/config/records.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

struct LabAccount {
  std::string phone;
  std::string passwordHash;
  std::string publicId;
  std::int64_t remainingBytes = 0;
  std::int64_t rechargeBaselineBytes = 0;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("phone", self.phone);
    field("passwordHash", self.passwordHash);
    field("publicId", self.publicId);
    field("remainingBytes", self.remainingBytes);
    field("rechargeBaselineBytes", self.rechargeBaselineBytes);
  }
};

struct LabPKI {
  std::string serverCertificate;
  std::string serverKey;
  std::vector<std::string> nodeCaCertificates;
  std::string credentialSigningKey;
  std::string credentialKeys;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("serverCertificate", self.serverCertificate);
    field("serverKey", self.serverKey);
    field("nodeCaCertificates", self.nodeCaCertificates);
    field("credentialSigningKey", self.credentialSigningKey);
    field("credentialKeys", self.credentialKeys);
  }
};

struct LabLifetimes {
  std::optional<std::int64_t> accessTokenSeconds;
  std::optional<std::int64_t> refreshTokenSeconds;
  std::optional<std::int64_t> credentialSeconds;
  std::optional<std::int64_t> leaseSeconds;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("accessTokenSeconds", self.accessTokenSeconds);
    field("refreshTokenSeconds", self.refreshTokenSeconds);
    field("credentialSeconds", self.credentialSeconds);
    field("leaseSeconds", self.leaseSeconds);
  }
};

struct LabGeoIP {
  std::string table;
  std::optional<std::string> manifest;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("table", self.table);
    field("manifest", self.manifest);
  }
};

struct LabFile {
  LabPKI pki;
  std::optional<LabLifetimes> lifetimes;
  std::vector<LabAccount> accounts;
  std::optional<std::uint64_t> trustBundleVersion;
  std::optional<std::vector<std::string>> reservedAddresses;
  std::optional<LabGeoIP> geoip;
  flowgate::ExtensionConfig config;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("pki", self.pki);
    field("lifetimes", self.lifetimes);
    field("accounts", self.accounts);
    field("trustBundleVersion", self.trustBundleVersion);
    field("reservedAddresses", self.reservedAddresses);
    field("geoip", self.geoip);
    field("config", self.config);
  }
};

// Reads and checks the file: every account's password hash well formed and its
// phone unique, positive lifetimes, node ids unique, and every path made
// absolute. Throws std::runtime_error naming what is wrong.
LabFile loadLabFile(const std::filesystem::path& path);

std::string readTextFile(const std::filesystem::path& path);

}  // namespace testbed
