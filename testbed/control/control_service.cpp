#include "testbed/control/control_service.hpp"

#include "runtime/ipv4.hpp"
#include "testbed/control/wire_json.hpp"
#include "testbed/credential/utc_time.hpp"
#include "testbed/geoip/geoip_manifest.hpp"

#include <cmath>
#include <stdexcept>

namespace testbed {

namespace {

std::vector<std::string> reservedAddresses(const LabFile& lab) {
  auto reserved = lab.reservedAddresses.value_or(std::vector<std::string>{});
  // The tunnel's DNS servers live inside the tunnel network; never lease them.
  for (const auto& server : lab.config.dns.servers) {
    if (runtime::ipv4::ipv4Value(server)) reserved.push_back(server);
  }
  return reserved;
}

std::int64_t lifetime(const LabFile& lab, std::optional<std::int64_t> LabLifetimes::*field,
                      std::int64_t fallback) {
  return lab.lifetimes ? ((*lab.lifetimes).*field).value_or(fallback) : fallback;
}

CredentialAuthority loadCredentials(const LabPKI& pki) {
  try {
    return CredentialAuthority::load(pki);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("credential keys: ") + e.what());
  }
}

ControlAnswer answer(unsigned status, const ApiError& error) {
  return {status, errorBody(error.code())};
}

}  // namespace

ControlService::ControlService(LabFile lab, const runtime::Clock& clock)
    : clock_(clock),
      config_(lab.config),
      credentialSeconds_(lifetime(lab, &LabLifetimes::credentialSeconds, 3600)),
      leaseSeconds_(lifetime(lab, &LabLifetimes::leaseSeconds, 3600)),
      tokens_(clock, TokenLifetimes{lifetime(lab, &LabLifetimes::accessTokenSeconds, 900),
                                    lifetime(lab, &LabLifetimes::refreshTokenSeconds, 30 * 86400)}),
      devices_(lab.config.vpnCidr, reservedAddresses(lab)),
      credentials_(loadCredentials(lab.pki)),
      trustBundle_(lab.pki, credentials_.publishedKeys(), lab.trustBundleVersion.value_or(1),
                   nowText()) {
  for (auto& account : lab.accounts) {
    phoneByPublicId_[account.publicId] = account.phone;
    accountsByPhone_[account.phone] = std::move(account);
  }
  if (lab.geoip) {
    geoip_ = GeoIPPublication::fromFiles(
        lab.geoip->table,
        lab.geoip->manifest ? std::optional<std::filesystem::path>(*lab.geoip->manifest)
                            : std::nullopt,
        nowText());
  }
}

ControlAnswer ControlService::handle(const ControlRequest& request) {
  try {
    return dispatch(request);
  } catch (const ApiError& e) {
    return answer(e.status(), e);
  } catch (const std::exception&) {
    return answer(500, ApiError(500, "internal_error"));
  }
}

ControlAnswer ControlService::dispatch(const ControlRequest& request) {
  using Handler = ControlAnswer (ControlService::*)(const ControlRequest&);
  struct Route {
    std::string_view method;
    std::string_view path;
    Handler handler;
  };
  static constexpr Route routes[] = {
      {"POST", "/v1/auth/login", &ControlService::login},
      {"POST", "/v1/auth/refresh", &ControlService::refresh},
      {"POST", "/v1/auth/extension-session", &ControlService::extensionSession},
      {"GET", "/v1/account", &ControlService::account},
      {"POST", "/v1/tunnel/authorize", &ControlService::authorize},
      {"POST", "/v1/tunnel/heartbeat", &ControlService::heartbeat},
  };
  auto requireGet = [&] {
    if (request.method != "GET") throw ApiError(405, "method_not_allowed");
  };
  for (const auto& route : routes) {
    if (route.path != request.path) continue;
    if (route.method != request.method) throw ApiError(405, "method_not_allowed");
    return (this->*route.handler)(request);
  }
  if (request.path == "/v1/trust-bundle") {
    requireGet();
    return {200, trustBundle_.json()};
  }
  if (request.path == "/v1/geoip/manifest") {
    requireGet();
    if (!geoip_) throw ApiError(404, "geoip_unavailable");
    return {200, manifestJSON(geoip_->manifest())};
  }
  if (geoip_ && request.path == geoip_->filePath()) {
    requireGet();
    const auto& file = geoip_->file();
    return {200, std::string(file.begin(), file.end()), "application/octet-stream"};
  }
  throw ApiError(404, "not_found");
}

const TokenOwner& ControlService::bearer(const ControlRequest& request) const {
  constexpr std::string_view scheme = "Bearer ";
  std::string_view header = request.authorization;
  if (header.size() <= scheme.size() || header.substr(0, scheme.size()) != scheme) {
    throw ApiError::unauthorized("missing_token");
  }
  const auto& owner = tokens_.authenticate(header.substr(scheme.size()));
  accountOf(owner);
  return owner;
}

const LabAccount& ControlService::accountOf(const TokenOwner& owner) const {
  auto phone = phoneByPublicId_.find(owner.publicId);
  if (phone == phoneByPublicId_.end()) throw ApiError::unauthorized("invalid_token");
  return accountsByPhone_.find(phone->second)->second;
}

flowgate::ExtensionConfig ControlService::currentConfig() const {
  auto config = config_;
  if (geoip_) config.geoip = geoip_->manifest();
  return config;
}

std::string ControlService::nowText() const {
  return formatUTCTime(static_cast<std::int64_t>(std::floor(clock_.now().unixSeconds())));
}

runtime::Date ControlService::later(std::int64_t seconds) const {
  return clock_.now().adding(static_cast<double>(seconds));
}

bool ControlService::expireToken(std::string_view token) { return tokens_.expire(token); }

void ControlService::expireCredential(std::string credential) {
  expiredCredentials_.insert(std::move(credential));
}

bool ControlService::expireLease(std::string_view deviceKey) {
  return devices_.setLeaseExpiry(deviceKey, clock_.now());
}

std::optional<Device> ControlService::moveLease(std::string_view deviceKey) {
  const auto* device = devices_.move(deviceKey);
  if (!device) return std::nullopt;
  return *device;
}

void ControlService::setTrustBundleVersion(std::uint64_t version) {
  trustBundle_.setVersion(version, nowText());
}

bool ControlService::publishGeoIPVersion(std::uint64_t version) {
  if (!geoip_) return false;
  geoip_ = geoip_->withVersion(version, nowText());
  return true;
}

void ControlService::publishGeoIP(GeoIPPublication publication) { geoip_ = std::move(publication); }

}  // namespace testbed
