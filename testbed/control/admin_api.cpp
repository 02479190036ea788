// The admin interface: plain HTTP, bound to loopback only, JSON bodies. Every
// answer is JSON; unknown names answer 404 {"code":"unknown"}.
//
//   GET  /admin/counts               {"counts": {"/v1/auth/refresh": 2, ...}}
//   POST /admin/counts/reset
//   POST /admin/faults               {"path": "/v1/auth/refresh", "status": 503,
//                                     "body": <JSON> | "body_text": "raw",
//                                     "delay_ms": 2000, "close": true, "times": 1}
//   POST /admin/faults/clear         {"path": ...} or {} for all
//   POST /admin/trust-bundle         {"version": 7}
//   POST /admin/geoip                {"version": 8} (same records, new version) or
//                                    {"table": PATH, "manifest": PATH}
//   POST /admin/expire               {"token": T} | {"credential": C} | {"lease": DEVICE_KEY}
//   POST /admin/move-lease           {"device_key": K}  -> {"vpn_ipv4": ...}
//   GET  /admin/devices              {"devices": [{"device_key", "device_id",
//                                     "vpn_ipv4", "lease_expires_at"}]}

#include "runtime/ipv4.hpp"
#include "testbed/control/control_server.hpp"
#include "testbed/control/wire_json.hpp"
#include "testbed/credential/utc_time.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cmath>
#include <optional>

namespace testbed {

namespace bj = boost::json;

namespace {

HttpReply ok(bj::object body = {{"ok", true}}) { return {200, bj::serialize(body)}; }

const bj::value* member(const bj::object& body, std::string_view key) {
  auto it = body.find(key);
  return it == body.end() ? nullptr : &it->value();
}

std::optional<std::string> text(const bj::object& body, std::string_view key) {
  const auto* value = member(body, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) throw ApiError::badRequest("invalid_request");
  return std::string(value->get_string());
}

std::optional<std::uint64_t> number(const bj::object& body, std::string_view key) {
  const auto* value = member(body, key);
  if (!value) return std::nullopt;
  if (value->is_uint64()) return value->get_uint64();
  if (value->is_int64() && value->get_int64() >= 0) return value->get_int64();
  throw ApiError::badRequest("invalid_request");
}

Fault decodeFault(const bj::object& body) {
  Fault fault;
  if (auto status = number(body, "status")) {
    if (*status < 100 || *status > 999) throw ApiError::badRequest("invalid_request");
    fault.status = static_cast<unsigned>(*status);
  }
  if (const auto* value = member(body, "body")) fault.body = bj::serialize(*value);
  if (auto raw = text(body, "body_text")) {
    fault.body = *raw;
    fault.contentType = "text/plain";
  }
  if (auto delay = number(body, "delay_ms")) fault.delay = std::chrono::milliseconds(*delay);
  if (const auto* close = member(body, "close")) {
    if (!close->is_bool()) throw ApiError::badRequest("invalid_request");
    fault.close = close->get_bool();
  }
  if (auto times = number(body, "times")) {
    if (*times == 0) throw ApiError::badRequest("invalid_request");
    fault.times = *times;
  }
  return fault;
}

bj::object deviceJSON(const Device& device) {
  return {
      {"device_key", device.deviceKey},
      {"device_id", device.deviceID},
      {"vpn_ipv4", runtime::ipv4::dottedQuad(device.address)},
      {"lease_expires_at",
       formatUTCTime(static_cast<std::int64_t>(std::floor(device.leaseExpiresAt.unixSeconds())))}};
}

HttpReply unknown() { return {404, errorBody("unknown")}; }

HttpReply administer(ControlService& service, FaultBoard& faults, const HttpRequest& request) {
  std::string_view target = request.target();
  auto path = target.substr(0, target.find('?'));
  bool get = request.method() == boost::beast::http::verb::get;

  if (get && path == "/admin/counts") {
    bj::object counts;
    for (const auto& [name, count] : faults.counts()) counts[name] = count;
    return ok({{"counts", counts}});
  }
  if (get && path == "/admin/devices") {
    bj::array devices;
    for (const auto& device : service.devices()) devices.push_back(deviceJSON(device));
    return ok({{"devices", devices}});
  }
  if (request.method() != boost::beast::http::verb::post) return unknown();

  bj::object body;
  if (!request.body().empty()) {
    boost::system::error_code error;
    auto value = bj::parse(request.body(), error);
    if (error) throw ApiError::badRequest("invalid_json");
    if (!value.is_object()) throw ApiError::badRequest("invalid_request");
    body = std::move(value.get_object());
  }

  if (path == "/admin/counts/reset") {
    faults.resetCounts();
    return ok();
  }
  if (path == "/admin/faults") {
    auto endpoint = text(body, "path");
    if (!endpoint) throw ApiError::badRequest("invalid_request");
    faults.set(*endpoint, decodeFault(body));
    return ok();
  }
  if (path == "/admin/faults/clear") {
    if (auto endpoint = text(body, "path")) return faults.clear(*endpoint) ? ok() : unknown();
    faults.clearAll();
    return ok();
  }
  if (path == "/admin/trust-bundle") {
    auto version = number(body, "version");
    if (!version || *version == 0) throw ApiError::badRequest("invalid_request");
    service.setTrustBundleVersion(*version);
    return ok();
  }
  if (path == "/admin/geoip") {
    if (auto version = number(body, "version")) {
      return service.publishGeoIPVersion(*version) ? ok() : unknown();
    }
    auto table = text(body, "table");
    if (!table) throw ApiError::badRequest("invalid_request");
    auto manifest = text(body, "manifest");
    try {
      service.publishGeoIP(GeoIPPublication::fromFiles(
          *table, manifest ? std::optional<std::filesystem::path>(*manifest) : std::nullopt,
          formatUTCTime(std::time(nullptr))));
    } catch (const std::exception&) {
      throw ApiError::badRequest("invalid_geoip");
    }
    return ok();
  }
  if (path == "/admin/expire") {
    if (auto token = text(body, "token")) return service.expireToken(*token) ? ok() : unknown();
    if (auto credential = text(body, "credential")) {
      service.expireCredential(*credential);
      return ok();
    }
    if (auto lease = text(body, "lease")) return service.expireLease(*lease) ? ok() : unknown();
    throw ApiError::badRequest("invalid_request");
  }
  if (path == "/admin/move-lease") {
    auto key = text(body, "device_key");
    if (!key) throw ApiError::badRequest("invalid_request");
    auto device = service.moveLease(*key);
    if (!device) return unknown();
    return ok({{"vpn_ipv4", runtime::ipv4::dottedQuad(device->address)}});
  }
  return unknown();
}

runtime::Task<HttpReply> serveAdmin(ControlService* service, FaultBoard* faults,
                                    HttpRequest request) {
  try {
    co_return administer(*service, *faults, request);
  } catch (const ApiError& e) {
    co_return HttpReply{e.status(), errorBody(e.code())};
  } catch (const std::exception&) {
    co_return HttpReply{500, errorBody("internal_error")};
  }
}

}  // namespace

HttpHandler adminHandler(ControlService& service, FaultBoard& faults) {
  return
      [service = &service, faults = &faults](HttpRequest request, boost::asio::ip::tcp::endpoint) {
        return serveAdmin(service, faults, std::move(request));
      };
}

}  // namespace testbed
