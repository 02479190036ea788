#pragma once

// Maps JSON objects onto plain records. A record lists its fields once:
//
//   template <class Self, class Visit>
//   static void describe(Self& self, Visit&& field) {
//     field("deviceID", self.deviceID);
//     ...
//   }
//
// Field types: std::string, bool, std::uint64_t (u64), std::int64_t (int and
// i64), double, Date (a number of seconds since 2001), std::vector<T>,
// std::map<std::string, T>, std::optional<T> (absent or null), and records.
// Required fields must be present with the right JSON type; unknown keys are
// ignored; absent optionals are left out when encoding.

#include "runtime/date.hpp"
#include "runtime/error.hpp"
#include "runtime/key_case.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace runtime {

enum class DecodingError {
  keyNotFound = 1,
  valueNotFound,
  typeMismatch,
  dataCorrupted,
};

template <>
struct ErrorTraits<DecodingError> {
  static constexpr const char* name = "json.decoding";
  static std::string_view description(DecodingError e) {
    switch (e) {
      case DecodingError::keyNotFound: return "No value for a required key";
      case DecodingError::valueNotFound: return "Null for a required value";
      case DecodingError::typeMismatch: return "Value of the wrong type";
      case DecodingError::dataCorrupted: return "Value out of range";
    }
    return "Decoding error";
  }
};

inline ErrorCode make_error_code(DecodingError e) { return makeErrorCode(e); }

}  // namespace runtime

VESKAR_ERROR_CODE_ENUM(runtime::DecodingError);

namespace runtime::json {

namespace bj = boost::json;

// How object keys relate to field names: exactly, or snake_case on the wire
// converted to the field names before matching.
enum class KeyStyle { exact, snakeCase };

template <class T>
concept Record = requires(T& t) {
  T::describe(t, [](const char*, auto&) {});
};

[[noreturn]] inline void decodingFailure(DecodingError error, const std::string& path) {
  throw SystemError(make_error_code(error), path);
}

// ---- decoding ----

template <class T>
T decodeValue(const bj::value& value, KeyStyle style, const std::string& path);

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::map<std::string, T>> : std::true_type {};

inline const bj::value* member(const bj::object& object, std::string_view name, KeyStyle style) {
  if (style == KeyStyle::exact) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &it->value();
  }
  // The first key that converts to the name wins.
  for (const auto& entry : object) {
    auto key = entry.key();
    if (key == name || (key.find('_') != std::string_view::npos && snakeToCamel(key) == name)) {
      return &entry.value();
    }
  }
  return nullptr;
}

template <class T>
T integer(const bj::value& value, const std::string& path) {
  constexpr bool isUnsigned = std::is_unsigned_v<T>;
  if (value.is_uint64()) {
    auto v = value.get_uint64();
    if (!isUnsigned && v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
      decodingFailure(DecodingError::dataCorrupted, path);
    }
    return static_cast<T>(v);
  }
  if (value.is_int64()) {
    auto v = value.get_int64();
    if (isUnsigned && v < 0) decodingFailure(DecodingError::dataCorrupted, path);
    return static_cast<T>(v);
  }
  if (value.is_double()) {
    // A number written with a fraction or exponent counts when it is a whole value in range.
    auto d = value.get_double();
    constexpr double upper = isUnsigned ? 18446744073709551616.0 : 9223372036854775808.0;
    constexpr double lower = isUnsigned ? 0.0 : -9223372036854775808.0;
    if (std::trunc(d) != d || d < lower || d >= upper) {
      decodingFailure(DecodingError::dataCorrupted, path);
    }
    return static_cast<T>(d);
  }
  decodingFailure(DecodingError::typeMismatch, path);
}

}  // namespace detail

template <class T>
T decodeValue(const bj::value& value, KeyStyle style, const std::string& path) {
  if (value.is_null() && !detail::IsOptional<T>::value) {
    decodingFailure(DecodingError::valueNotFound, path);
  }
  if constexpr (detail::IsOptional<T>::value) {
    if (value.is_null()) return std::nullopt;
    return decodeValue<typename T::value_type>(value, style, path);
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!value.is_string()) decodingFailure(DecodingError::typeMismatch, path);
    return std::string(value.get_string());
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!value.is_bool()) decodingFailure(DecodingError::typeMismatch, path);
    return value.get_bool();
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>) {
    return detail::integer<T>(value, path);
  } else if constexpr (std::is_same_v<T, double>) {
    if (!value.is_number()) decodingFailure(DecodingError::typeMismatch, path);
    return value.to_number<double>();
  } else if constexpr (std::is_same_v<T, Date>) {
    return Date{decodeValue<double>(value, style, path)};
  } else if constexpr (detail::IsVector<T>::value) {
    if (!value.is_array()) decodingFailure(DecodingError::typeMismatch, path);
    T result;
    const auto& array = value.get_array();
    result.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
      result.push_back(decodeValue<typename T::value_type>(array[i], style,
                                                           path + "[" + std::to_string(i) + "]"));
    }
    return result;
  } else if constexpr (detail::IsStringMap<T>::value) {
    // Map keys are data (region names), never converted.
    if (!value.is_object()) decodingFailure(DecodingError::typeMismatch, path);
    T result;
    for (const auto& entry : value.get_object()) {
      std::string key(entry.key());
      result.emplace(key,
                     decodeValue<typename T::mapped_type>(entry.value(), style, path + "." + key));
    }
    return result;
  } else {
    static_assert(Record<T>, "unsupported field type");
    if (!value.is_object()) decodingFailure(DecodingError::typeMismatch, path);
    const auto& object = value.get_object();
    T record{};
    T::describe(record, [&](const char* name, auto& field) {
      using Field = std::remove_reference_t<decltype(field)>;
      auto fieldPath = path.empty() ? std::string(name) : path + "." + name;
      const bj::value* found = detail::member(object, name, style);
      if (!found) {
        if constexpr (detail::IsOptional<Field>::value) {
          field = std::nullopt;
          return;
        } else {
          decodingFailure(DecodingError::keyNotFound, fieldPath);
        }
      }
      field = decodeValue<Field>(*found, style, fieldPath);
    });
    return record;
  }
}

template <class T>
T decode(const bj::value& value, KeyStyle style = KeyStyle::exact) {
  return decodeValue<T>(value, style, "");
}

// Parse errors are Boost.JSON's own and pass through unchanged.
template <class T>
T decodeText(std::string_view text, KeyStyle style = KeyStyle::exact) {
  return decode<T>(bj::parse(text), style);
}

// ---- encoding (always the field names) ----

template <class T>
bj::value encode(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return bj::value(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return bj::value(value);
  } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t> ||
                       std::is_same_v<T, double>) {
    return bj::value(value);
  } else if constexpr (std::is_same_v<T, Date>) {
    // Whole seconds as an integer, anything else as the shortest round-tripping double.
    double s = value.secondsSinceReferenceDate;
    if (std::trunc(s) == s && std::fabs(s) < 9007199254740992.0) {
      return bj::value(static_cast<std::int64_t>(s));
    }
    return bj::value(s);
  } else if constexpr (detail::IsVector<T>::value) {
    bj::array array;
    array.reserve(value.size());
    for (const auto& element : value) array.push_back(encode(element));
    return array;
  } else if constexpr (detail::IsStringMap<T>::value) {
    bj::object object;
    for (const auto& [key, element] : value) object.emplace(key, encode(element));
    return object;
  } else {
    static_assert(Record<T>, "unsupported field type");
    bj::object object;
    T::describe(value, [&](const char* name, const auto& field) {
      using Field = std::remove_cvref_t<decltype(field)>;
      if constexpr (detail::IsOptional<Field>::value) {
        if (field) object.emplace(name, encode(*field));
      } else {
        object.emplace(name, encode(field));
      }
    });
    return object;
  }
}

template <class T>
std::string encodeText(const T& value) {
  return bj::serialize(encode(value));
}

}  // namespace runtime::json
