// Sign-in, token refresh, the extension's session and the account.

#include "testbed/control/control_messages.hpp"
#include "testbed/control/control_service.hpp"
#include "testbed/control/password_hash.hpp"
#include "testbed/control/wire_json.hpp"

#include <boost/json/serialize.hpp>

namespace testbed {

namespace {

TokenAnswer tokenAnswer(const TokenPair& pair) {
  return {pair.accessToken, pair.expiresIn, pair.refreshToken};
}

template <class T>
ControlAnswer ok(const T& record) {
  return {200, boost::json::serialize(toWire(record))};
}

}  // namespace

ControlAnswer ControlService::login(const ControlRequest& request) {
  auto body = decodeRequest<LoginRequest>(request.body);
  if (body.method != "password") throw ApiError::badRequest("unsupported_method");
  auto it = accountsByPhone_.find(body.phone);
  if (it == accountsByPhone_.end() || !verifyPassword(body.password, it->second.passwordHash)) {
    throw ApiError::unauthorized("invalid_login");
  }
  const auto& account = it->second;
  auto pair = tokens_.issue(TokenOwner{account.publicId, std::nullopt});
  return ok(LoginAnswer{pair.accessToken, pair.expiresIn, pair.refreshToken,
                        LoginUser{account.publicId, account.phone}});
}

ControlAnswer ControlService::refresh(const ControlRequest& request) {
  auto body = decodeRequest<RefreshRequest>(request.body);
  return ok(tokenAnswer(tokens_.refresh(body.refreshToken)));
}

ControlAnswer ControlService::extensionSession(const ControlRequest& request) {
  const auto& owner = bearer(request);
  if (owner.isExtension()) throw ApiError(403, "user_token_required");
  auto body = decodeRequest<ExtensionSessionRequest>(request.body);
  if (body.deviceKey.empty()) throw ApiError::badRequest("invalid_request");
  return ok(tokenAnswer(tokens_.issue(TokenOwner{owner.publicId, body.deviceKey})));
}

ControlAnswer ControlService::account(const ControlRequest& request) {
  const auto& account = accountOf(bearer(request));
  return ok(AccountAnswer{account.remainingBytes, account.rechargeBaselineBytes});
}

}  // namespace testbed
