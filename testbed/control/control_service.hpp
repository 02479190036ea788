#pragma once

// The control server's endpoints over its state: accounts, tokens, devices and
// leases, credentials, the trust bundle and the GeoIP table. Synchronous and
// single-threaded: the server calls it from one executor.
//
//   POST /v1/auth/login               {"method":"password","phone","password"}
//   POST /v1/auth/refresh             {"refresh_token"}
//   POST /v1/auth/extension-session   bearer user token; {"device_key"}
//   GET  /v1/account                  bearer token
//   POST /v1/tunnel/authorize         bearer token; {"device_key","platform",
//                                     "device_name","local_routes"}
//   POST /v1/tunnel/heartbeat         {"device_credential"}
//   GET  /v1/trust-bundle
//   GET  /v1/geoip/manifest           and the file at the manifest's url
//
// Refusals answer {"code": ...} with their status.

#include "runtime/clock.hpp"
#include "testbed/control/credential_authority.hpp"
#include "testbed/control/device_registry.hpp"
#include "testbed/control/geoip_publication.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/control/token_book.hpp"
#include "testbed/control/trust_bundle_publisher.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace testbed {

struct ControlRequest {
  std::string method;
  std::string path;  // without a query
  std::string authorization;
  std::string body;
};

struct ControlAnswer {
  unsigned status = 200;
  std::string body;
  std::string contentType = "application/json";
};

class ControlService {
 public:
  // Throws std::runtime_error when the lab's files or values are unusable.
  ControlService(LabFile lab, const runtime::Clock& clock);

  // Never throws: refusals and failures become answers.
  ControlAnswer handle(const ControlRequest& request);

  // Admin operations. Each returns false when it names nothing known.
  bool expireToken(std::string_view token);
  // Heartbeats with this credential are answered "credential_expired" from now on.
  void expireCredential(std::string credential);
  bool expireLease(std::string_view deviceKey);
  // A new tunnel address for the device: its credentials no longer match.
  std::optional<Device> moveLease(std::string_view deviceKey);
  void setTrustBundleVersion(std::uint64_t version);
  // Publishes the current table's records under `version`.
  bool publishGeoIPVersion(std::uint64_t version);
  void publishGeoIP(GeoIPPublication publication);

  const TrustBundlePublisher& trustBundle() const { return trustBundle_; }
  const std::optional<GeoIPPublication>& geoip() const { return geoip_; }
  std::vector<Device> devices() const { return devices_.devices(); }

 private:
  ControlAnswer dispatch(const ControlRequest& request);

  ControlAnswer login(const ControlRequest& request);
  ControlAnswer refresh(const ControlRequest& request);
  ControlAnswer extensionSession(const ControlRequest& request);
  ControlAnswer account(const ControlRequest& request);
  ControlAnswer authorize(const ControlRequest& request);
  ControlAnswer heartbeat(const ControlRequest& request);

  // The owner of the request's bearer token, whose account must still exist.
  const TokenOwner& bearer(const ControlRequest& request) const;
  const LabAccount& accountOf(const TokenOwner& owner) const;
  flowgate::ExtensionConfig currentConfig() const;
  std::string nowText() const;
  runtime::Date later(std::int64_t seconds) const;

  const runtime::Clock& clock_;
  std::map<std::string, LabAccount, std::less<>> accountsByPhone_;
  std::map<std::string, std::string, std::less<>> phoneByPublicId_;
  flowgate::ExtensionConfig config_;
  std::int64_t credentialSeconds_;
  std::int64_t leaseSeconds_;
  TokenBook tokens_;
  DeviceRegistry devices_;
  CredentialAuthority credentials_;
  TrustBundlePublisher trustBundle_;
  std::optional<GeoIPPublication> geoip_;
  std::set<std::string, std::less<>> expiredCredentials_;
};

}  // namespace testbed
