#pragma once

// Key spellings of the control server's JSON: snake_case on the wire, the
// records' camelCase field names in memory.

#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace runtime {

// "query_timeout_ms" -> "queryTimeoutMs": underscores between words removed,
// each word after the first starts upper-case. Leading and trailing underscores
// stay; a key without inner underscores is unchanged.
std::string snakeToCamel(std::string_view key);

// "deviceKey" -> "device_key"; a run of capitals is one word ("vpnIPv4" ->
// "vpn_i_pv4" is what the word rule gives, so name fields plainly). Lower-case
// keys with underscores are unchanged.
std::string camelToSnake(std::string_view key);

// The same value with every object key (nested ones too) in snake_case, for
// request bodies.
boost::json::value withSnakeCaseKeys(const boost::json::value& value);

}  // namespace runtime
