// Tunnel authorization and the credential heartbeat.

#include "runtime/ipv4.hpp"
#include "testbed/control/control_messages.hpp"
#include "testbed/control/control_service.hpp"
#include "testbed/control/wire_json.hpp"
#include "testbed/credential/utc_time.hpp"

#include <boost/json/serialize.hpp>

#include <cmath>

namespace testbed {

namespace {

std::int64_t unixSeconds(runtime::Date date) {
  return static_cast<std::int64_t>(std::floor(date.unixSeconds()));
}

}  // namespace

ControlAnswer ControlService::authorize(const ControlRequest& request) {
  const auto& owner = bearer(request);
  auto body = decodeRequest<AuthorizeRequest>(request.body);
  if (body.deviceKey.empty()) throw ApiError::badRequest("invalid_request");
  for (const auto& route : body.localRoutes) {
    if (!runtime::ipv4::cidrRange(route)) throw ApiError::badRequest("invalid_request");
  }
  // An extension's tokens speak for the one device they were issued to.
  if (owner.isExtension() && *owner.deviceKey != body.deviceKey) {
    throw ApiError(403, "device_mismatch");
  }

  auto now = clock_.now();
  const auto& device = devices_.authorize(body.deviceKey, later(leaseSeconds_));
  CredentialClaims claims;
  claims.deviceID = device.deviceID;
  claims.vpnIPv4 = runtime::ipv4::dottedQuad(device.address);
  claims.issuedAt = unixSeconds(now);
  claims.notBefore = claims.issuedAt;
  claims.expiresAt = unixSeconds(later(credentialSeconds_));

  auto credential = credentials_.issue(claims);
  // Issued within the second an administrator expired its twin, the credential
  // is byte for byte the expired one: authorizing again must make it good.
  expiredCredentials_.erase(credential);
  AuthorizationHead head{device.deviceID, std::move(credential), formatUTCTime(claims.expiresAt),
                         claims.vpnIPv4, formatUTCTime(unixSeconds(device.leaseExpiresAt))};
  auto wire = toWire(head);
  wire.as_object()["config"] = configToWire(currentConfig());
  return {200, boost::json::serialize(wire)};
}

ControlAnswer ControlService::heartbeat(const ControlRequest& request) {
  auto body = decodeRequest<HeartbeatRequest>(request.body);
  auto now = clock_.now();
  CredentialClaims claims;
  try {
    claims = credentials_.verify(body.deviceCredential, now);
  } catch (const runtime::SystemError& e) {
    if (e.code() == CredentialError::expired) throw ApiError::unauthorized("credential_expired");
    throw ApiError::unauthorized("invalid_credential");
  }
  if (expiredCredentials_.contains(body.deviceCredential)) {
    throw ApiError::unauthorized("credential_expired");
  }
  // A credential names a device and its address; the lease must still say the same.
  const auto* device = devices_.findByID(claims.deviceID);
  if (!device || runtime::ipv4::dottedQuad(device->address) != claims.vpnIPv4) {
    throw ApiError::unauthorized("lease_mismatch");
  }
  if (device->leaseExpiresAt <= now) throw ApiError::unauthorized("lease_expired");

  auto leaseExpiresAt = later(leaseSeconds_);
  devices_.setLeaseExpiry(device->deviceKey, leaseExpiresAt);
  HeartbeatAnswer answer{"ok", claims.vpnIPv4, formatUTCTime(unixSeconds(leaseExpiresAt))};
  return {200, boost::json::serialize(toWire(answer))};
}

}  // namespace testbed
