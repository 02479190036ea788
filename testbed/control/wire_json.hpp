#pragma once

// Request and answer bodies on the control server's wire: snake_case keys,
// converted from and to the records' field names.

#include "flowgate/config/records.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/key_case.hpp"
#include "testbed/control/api_error.hpp"

#include <boost/json/parse.hpp>

#include <string>
#include <string_view>

namespace testbed {

// A request body as record T. Not JSON: 400 "invalid_json"; not an object, a
// required key missing, a value of the wrong type or out of range: 400
// "invalid_request".
template <class T>
T decodeRequest(std::string_view body) {
  boost::system::error_code error;
  auto value = boost::json::parse(body, error);
  if (error) throw ApiError::badRequest("invalid_json");
  if (!value.is_object()) throw ApiError::badRequest("invalid_request");
  try {
    return runtime::json::decode<T>(value, runtime::json::KeyStyle::snakeCase);
  } catch (const runtime::SystemError&) {
    throw ApiError::badRequest("invalid_request");
  }
}

template <class T>
boost::json::value toWire(const T& record) {
  return runtime::withSnakeCaseKeys(runtime::json::encode(record));
}

// Node group names are data: they keep their spelling.
boost::json::value configToWire(const flowgate::ExtensionConfig& config);

std::string errorBody(const std::string& code);

}  // namespace testbed
